// The window with the logo band: a band 78 pixels high across the top holding three images
// (left 406 pixels wide, middle stretched over the free width, right 209 pixels wide), each with
// a hand cursor; a click on any of them opens the support page. Below the band the client panel
// takes the rest of the window; derived windows put their controls there.
//
// Threads: the window's thread only (as every widget). Ownership: Qt's parent chain owns the
// band, the images and the client panel.
#pragma once

#include <QLabel>
#include <QWidget>
#include <functional>

namespace nb {

// The page the logo band opens.
inline constexpr const char* kSupportUrl = "https://www.norbit.example/support";

// One picture of the logo band: a label that answers a left click.
class TnbLogoImage : public QLabel {
public:
    TnbLogoImage(const QPixmap& APixmap, std::function<void()> AOnClick, QWidget* AParent);

protected:
    void mouseReleaseEvent(QMouseEvent* AEvent) override;

private:
    std::function<void()> onClick_;
};

class TnbDemoBaseForm : public QWidget {
public:
    explicit TnbDemoBaseForm(QWidget* AParent = nullptr);

    QWidget* ClientPanel() const { return clientPanel_; }

private:
    QWidget* clientPanel_;
};

// Opens the support page in the desktop's browser.
void OpenSupportPage();

}  // namespace nb
