#include "app/nbMainForm.h"

#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QVBoxLayout>
#include <exception>

#include "util/nbLimits.h"

namespace nb {

namespace {

const char* const kCaption = "Norbit FTP Server SSL / TLS";
// The title of error boxes: the program's name, as the desktop's own error boxes show it.
const char* const kErrorTitle = "NorbitFtpServerSSL";

const char* const kIntroText =
    "This is a sample FTP SSL / TLS server. You can use any SSL-enabled FTP client (such as "
    "TnbFTP or SurgeFTP client to connect to this server.";
const char* const kLoginText =
    "Please log in with user name NorbitTester and password mivoraplexan.";
const char* const kCertificateText =
    "This server uses self-signed server certificate to establish the SSL connection. In real "
    "application you will need to request a certificate from trusted issuer or use your own "
    "self-signed certificate.";

QLabel* WrappedLabel(const char* AText, QWidget* AParent) {
    auto* label = new QLabel(AText, AParent);
    label->setWordWrap(true);
    return label;
}

}  // namespace

TMainForm::TMainForm(QWidget* AParent) : TnbDemoBaseForm(AParent) {
    setObjectName("MainForm");
    setWindowTitle(kCaption);
    BuildControls();
    controller_ = std::make_unique<TnbServerController>(
        [this](const std::string& AText) { AppendLog(AText); });
}

TMainForm::~TMainForm() {
    controller_.reset();
}

void TMainForm::BuildControls() {
    QWidget* panel = ClientPanel();
    auto* layout = new QVBoxLayout(panel);

    auto* top = new QHBoxLayout;
    auto* settings = new QGridLayout;
    edtPort_ = new QLineEdit("990", panel);
    edtPort_->setObjectName("edtPort");
    edtRootDir_ =
        new QLineEdit(QString::fromStdString(TnbServerController::DefaultRootDir()), panel);
    edtRootDir_->setObjectName("edtRootDir");
    edtRootDir_->setMinimumWidth(220);
    cbUseTls_ = new QComboBox(panel);
    cbUseTls_->setObjectName("cbUseTls");
    cbUseTls_->addItems({"None", "Implicit", "Allow Explicit", "Require Explicit"});
    cbUseTls_->setCurrentIndex(1);
    btnStart_ = new QPushButton("Start", panel);
    btnStart_->setObjectName("btnStart");
    btnStop_ = new QPushButton("Stop", panel);
    btnStop_->setObjectName("btnStop");
    settings->addWidget(new QLabel("Port", panel), 0, 0);
    settings->addWidget(edtPort_, 0, 1);
    settings->addWidget(new QLabel("Root Dir", panel), 1, 0);
    settings->addWidget(edtRootDir_, 1, 1);
    settings->addWidget(new QLabel("SSL / TLS Mode", panel), 2, 0);
    settings->addWidget(cbUseTls_, 2, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnStart_);
    buttons->addWidget(btnStop_);
    buttons->addStretch(1);
    settings->addLayout(buttons, 3, 1);
    top->addLayout(settings);

    auto* texts = new QVBoxLayout;
    texts->addWidget(WrappedLabel(kIntroText, panel));
    QLabel* login = WrappedLabel(kLoginText, panel);
    QFont bold = login->font();
    bold.setBold(true);
    login->setFont(bold);
    texts->addWidget(login);
    texts->addWidget(WrappedLabel(kCertificateText, panel));
    texts->addStretch(1);
    top->addLayout(texts, 1);
    layout->addLayout(top);

    layout->addWidget(new QLabel("Log", panel));
    memLog_ = new QPlainTextEdit(panel);
    memLog_->setObjectName("memLog");
    memLog_->setReadOnly(true);
    // Selectable by keyboard too, so that an operator can copy lines out of the log.
    memLog_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    memLog_->setFocusPolicy(Qt::StrongFocus);
    memLog_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memLog_->setMaximumBlockCount(kMaxLogPaneLines);
    layout->addWidget(memLog_, 1);

    setTabOrder(edtPort_, edtRootDir_);
    setTabOrder(edtRootDir_, cbUseTls_);
    setTabOrder(cbUseTls_, btnStart_);
    setTabOrder(btnStart_, btnStop_);
    setTabOrder(btnStop_, memLog_);
    edtPort_->setFocus();

    QObject::connect(btnStart_, &QPushButton::clicked, this, [this] { btnStartClick(); });
    QObject::connect(btnStop_, &QPushButton::clicked, this, [this] { btnStopClick(); });
    resize(760, 560);
}

void TMainForm::btnStartClick() {
    // The list's order is the order of the TLS modes.
    const int index = cbUseTls_->currentIndex();
    const auto mode = static_cast<TnbServerTlsMode>(index < 0 ? 0 : index);
    try {
        controller_->Start(mode, edtPort_->text().toStdString(), edtRootDir_->text().toStdString());
    } catch (const std::exception& e) {
        ShowError(e.what());
    }
}

void TMainForm::btnStopClick() {
    try {
        controller_->Stop();
    } catch (const std::exception& e) {
        ShowError(e.what());
    }
}

void TMainForm::ShowError(const std::string& AMessage) {
    QMessageBox::critical(this, kErrorTitle, QString::fromStdString(AMessage));
}

void TMainForm::AppendLog(const std::string& AText) {
    std::lock_guard lock(pendingLock_);
    std::size_t start = 0;
    for (;;) {
        const auto eol = AText.find('\n', start);
        std::string line = AText.substr(start, eol == std::string::npos ? eol : eol - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        pending_.push_back(std::move(line));
        if (eol == std::string::npos)
            break;
        start = eol + 1;
    }
    // The pane keeps only the last lines, so older queued ones would scroll away unseen.
    while (pending_.size() > static_cast<std::size_t>(kMaxLogPaneLines))
        pending_.pop_front();
    if (!flushPosted_) {
        flushPosted_ = true;
        // Queued, never blocking: the window's thread may itself be waiting for this thread.
        QMetaObject::invokeMethod(
            this, [this] { FlushLog(); }, Qt::QueuedConnection);
    }
}

void TMainForm::FlushLog() {
    std::deque<std::string> lines;
    {
        std::lock_guard lock(pendingLock_);
        lines.swap(pending_);
        flushPosted_ = false;
    }
    if (lines.empty())
        return;
    QStringList text;
    for (const auto& line : lines)
        text << QString::fromStdString(line);
    memLog_->appendPlainText(text.join('\n'));
}

}  // namespace nb
