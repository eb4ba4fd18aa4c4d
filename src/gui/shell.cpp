#include "gui/shell.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QSvgRenderer>
#include <QToolButton>

#include "gui/about_dialog.h"

#ifndef DRAVONEL_WEBPAGE_URL
#define DRAVONEL_WEBPAGE_URL "https://quorvane.example/dravonel"
#endif
#ifndef DRAVONEL_HELP_INSTALLED
#define DRAVONEL_HELP_INSTALLED ""
#endif

namespace dravonel {

namespace {
const char* const kSwallowProperty = "dravonelSwallowEnterEsc";
const char* const kTakesEnterProperty = "dravonelTakesEnter";

// Swallows Enter and Esc for every widget inside a marked window, before the widget sees
// them (a line edit, a default button or the dialog's own Esc handling).
class EnterEscFilter final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) return false;
        if (!watched->isWidgetType()) return false;
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Escape) return false;
        if (key != Qt::Key_Escape && watched->property(kTakesEnterProperty).toBool()) return false;
        QWidget* window = static_cast<QWidget*>(watched)->window();
        if (!window || !window->property(kSwallowProperty).toBool()) return false;
        return true;
    }
};

void (*gUrlOpener)(const QUrl&) = nullptr;
}  // namespace

HeaderBanner::HeaderBanner(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("headerBanner"));
    setAccessibleName(QStringLiteral("Quorvane Dravonel(Full)"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize HeaderBanner::sizeHint() const { return {760, 78}; }
QSize HeaderBanner::minimumSizeHint() const { return {300, 78}; }

void HeaderBanner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QSvgRenderer renderer(QStringLiteral(":/dravonel/header.svg"));
    // The picture keeps its proportions and is anchored left; the strip's own colour fills
    // the rest of a wide window.
    painter.fillRect(rect(), QColor(0x1d, 0x3b, 0x5c));
    const QSizeF picture = renderer.defaultSize();
    const double scale = picture.height() > 0 ? height() / picture.height() : 1.0;
    renderer.setAspectRatioMode(Qt::KeepAspectRatio);
    renderer.render(&painter, QRectF(0, 0, picture.width() * scale, height()));
}

QUrl helpPageUrl() {
    const QString beside =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../share/dravonel/help.html"));
    if (QFileInfo::exists(beside)) return QUrl::fromLocalFile(QFileInfo(beside).canonicalFilePath());
    return QUrl::fromLocalFile(QStringLiteral(DRAVONEL_HELP_INSTALLED));
}

QUrl softwareWebpageUrl() { return QUrl(QStringLiteral(DRAVONEL_WEBPAGE_URL)); }

void openExternalUrl(const QUrl& url) {
    if (gUrlOpener) {
        gUrlOpener(url);
        return;
    }
    QDesktopServices::openUrl(url);
}

void setExternalUrlOpener(void (*opener)(const QUrl&)) { gUrlOpener = opener; }

QToolButton* makeHelpButton(QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setObjectName(QStringLiteral("helpButton"));
    button->setText(QStringLiteral("&Help"));
    button->setAccessibleName(QStringLiteral("Help"));
    button->setIcon(QIcon(QStringLiteral(":/dravonel/help.svg")));
    button->setIconSize(QSize(20, 20));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setPopupMode(QToolButton::InstantPopup);
    button->setFocusPolicy(Qt::StrongFocus);
    auto* menu = new QMenu(button);
    menu->setObjectName(QStringLiteral("helpMenu"));
    QAction* help = menu->addAction(QStringLiteral("Help"));
    help->setObjectName(QStringLiteral("helpAction"));
    QAction* about = menu->addAction(QStringLiteral("About"));
    about->setObjectName(QStringLiteral("aboutAction"));
    QAction* web = menu->addAction(QStringLiteral("Software Webpage"));
    web->setObjectName(QStringLiteral("webpageAction"));
    QObject::connect(help, &QAction::triggered, button, [] { openExternalUrl(helpPageUrl()); });
    QObject::connect(web, &QAction::triggered, button, [] { openExternalUrl(softwareWebpageUrl()); });
    QObject::connect(about, &QAction::triggered, button, [button] {
        CQuorvaneAboutDlg dialog(button->window());
        dialog.exec();
    });
    button->setMenu(menu);
    return button;
}

void swallowEnterEsc(QWidget* window) {
    static EnterEscFilter* filter = nullptr;
    if (!filter) {
        filter = new EnterEscFilter(qApp);
        qApp->installEventFilter(filter);
    }
    window->setProperty(kSwallowProperty, true);
}

void takeEnter(QWidget* widget) { widget->setProperty(kTakesEnterProperty, true); }

}  // namespace dravonel
