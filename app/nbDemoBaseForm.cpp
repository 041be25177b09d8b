#include "app/nbDemoBaseForm.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>
#include <QVBoxLayout>

namespace nb {

namespace {

constexpr int kBandHeight = 78;
constexpr int kLeftWidth = 406;
constexpr int kRightWidth = 209;

// The band's colours; the middle image is one column of the gradient, so that stretched it
// joins the two ends without a seam.
const QColor kBandTop(18, 58, 110);
const QColor kBandBottom(40, 110, 180);

void PaintBand(QPainter& APainter, int AWidth) {
    QLinearGradient gradient(0, 0, 0, kBandHeight);
    gradient.setColorAt(0, kBandTop);
    gradient.setColorAt(1, kBandBottom);
    APainter.fillRect(0, 0, AWidth, kBandHeight, gradient);
}

// Left: the name, with a small mark of three rising bars.
QPixmap LeftImage() {
    QPixmap pixmap(kLeftWidth, kBandHeight);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    PaintBand(painter, kLeftWidth);
    const QColor bars[] = {QColor(255, 196, 0), QColor(255, 150, 0), QColor(240, 90, 40)};
    for (int i = 0; i < 3; ++i) {
        const int height = 18 + 12 * i;
        painter.fillRect(14 + 14 * i, 62 - height, 10, height, bars[i]);
    }
    painter.setPen(Qt::white);
    QFont title = painter.font();
    title.setPixelSize(30);
    title.setBold(true);
    painter.setFont(title);
    painter.drawText(QRect(68, 6, kLeftWidth - 72, 40), Qt::AlignLeft | Qt::AlignVCenter, "Norbit");
    QFont subtitle = title;
    subtitle.setPixelSize(15);
    subtitle.setBold(false);
    painter.setFont(subtitle);
    painter.drawText(QRect(70, 44, kLeftWidth - 74, 24), Qt::AlignLeft | Qt::AlignVCenter,
                     "FTP Server SSL / TLS");
    return pixmap;
}

QPixmap MiddleImage() {
    QPixmap pixmap(1, kBandHeight);
    QPainter painter(&pixmap);
    PaintBand(painter, 1);
    return pixmap;
}

// Right: the way to the support page.
QPixmap RightImage() {
    QPixmap pixmap(kRightWidth, kBandHeight);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    PaintBand(painter, kRightWidth);
    painter.setPen(QPen(QColor(255, 196, 0), 3));
    painter.drawEllipse(QPoint(30, kBandHeight / 2), 14, 14);
    QFont mark = painter.font();
    mark.setPixelSize(18);
    mark.setBold(true);
    painter.setFont(mark);
    painter.drawText(QRect(16, kBandHeight / 2 - 14, 28, 28), Qt::AlignCenter, "?");
    painter.setPen(Qt::white);
    QFont text = mark;
    text.setPixelSize(15);
    painter.setFont(text);
    painter.drawText(QRect(54, 0, kRightWidth - 58, kBandHeight), Qt::AlignLeft | Qt::AlignVCenter,
                     "Support");
    return pixmap;
}

}  // namespace

void OpenSupportPage() {
    QDesktopServices::openUrl(QUrl(kSupportUrl));
}

TnbLogoImage::TnbLogoImage(const QPixmap& APixmap, std::function<void()> AOnClick, QWidget* AParent)
    : QLabel(AParent), onClick_(std::move(AOnClick)) {
    setPixmap(APixmap);
    setCursor(Qt::PointingHandCursor);
}

void TnbLogoImage::mouseReleaseEvent(QMouseEvent* AEvent) {
    if (AEvent->button() == Qt::LeftButton && rect().contains(AEvent->position().toPoint()) &&
        onClick_)
        onClick_();
    QLabel::mouseReleaseEvent(AEvent);
}

TnbDemoBaseForm::TnbDemoBaseForm(QWidget* AParent) : QWidget(AParent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* band = new QWidget(this);
    band->setObjectName("pnlLogo");
    band->setFixedHeight(kBandHeight);
    auto* bandLayout = new QHBoxLayout(band);
    bandLayout->setContentsMargins(0, 0, 0, 0);
    bandLayout->setSpacing(0);
    auto* left = new TnbLogoImage(LeftImage(), OpenSupportPage, band);
    left->setObjectName("imgLogoLeft");
    left->setFixedSize(kLeftWidth, kBandHeight);
    auto* middle = new TnbLogoImage(MiddleImage(), OpenSupportPage, band);
    middle->setObjectName("imgLogoMiddle");
    middle->setScaledContents(true);
    middle->setMinimumWidth(0);
    middle->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    middle->setFixedHeight(kBandHeight);
    auto* right = new TnbLogoImage(RightImage(), OpenSupportPage, band);
    right->setObjectName("imgLogoRight");
    right->setFixedSize(kRightWidth, kBandHeight);
    bandLayout->addWidget(left);
    bandLayout->addWidget(middle, 1);
    bandLayout->addWidget(right);
    layout->addWidget(band);

    clientPanel_ = new QWidget(this);
    clientPanel_->setObjectName("pnlClient");
    layout->addWidget(clientPanel_, 1);
}

}  // namespace nb
