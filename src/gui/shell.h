#pragma once
// What every page shares beyond the wizard itself: the header banner, the "Help" menu
// button, the swallowing of Enter and Esc, and the addresses the Help menu opens.
#include <QString>
#include <QUrl>
#include <QWidget>

class QToolButton;

namespace dravonel {

// The picture across the top of every page (":/dravonel/header.svg").
class HeaderBanner : public QWidget {
    Q_OBJECT
public:
    explicit HeaderBanner(QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The "Help" menu button with "Help", "About" and "Software Webpage".
QToolButton* makeHelpButton(QWidget* parent);

// The help page installed with the program (share/dravonel/help.html beside bin/, else
// the installed path); the product page set at build time.
QUrl helpPageUrl();
QUrl softwareWebpageUrl();

// Marks a top-level window (the wizard, a dialog) whose Enter and Esc key presses are
// swallowed before any of its controls sees them; installs the application-wide filter
// on first use.
void swallowEnterEsc(QWidget* window);
// Lets widget, inside such a window, have its Enter key presses (a list whose Enter
// saves the current row); Esc stays swallowed.
void takeEnter(QWidget* widget);

// Opens a URL in the desktop's browser or mail program; tests replace it to record.
void openExternalUrl(const QUrl& url);
void setExternalUrlOpener(void (*opener)(const QUrl&));

}  // namespace dravonel
