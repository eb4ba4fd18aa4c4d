#include "gui/about_dialog.h"

#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/qt_bridges.h"
#include "gui/shell.h"

#ifndef DRAVONEL_WEBPAGE_URL
#define DRAVONEL_WEBPAGE_URL "https://quorvane.example/dravonel"
#endif
#ifndef DRAVONEL_SUPPORT_MAIL
#define DRAVONEL_SUPPORT_MAIL "support@quorvane.example"
#endif
#ifndef DRAVONEL_SALES_MAIL
#define DRAVONEL_SALES_MAIL "sales@quorvane.example"
#endif

namespace dravonel {

QUrl CQuorvaneAboutDlg::companyWebsite() { return QUrl(QStringLiteral(DRAVONEL_WEBPAGE_URL)); }
QUrl CQuorvaneAboutDlg::supportMail() { return QUrl(QStringLiteral("mailto:" DRAVONEL_SUPPORT_MAIL)); }
QUrl CQuorvaneAboutDlg::salesMail() { return QUrl(QStringLiteral("mailto:" DRAVONEL_SALES_MAIL)); }

CQuorvaneAboutDlg::CQuorvaneAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("CQuorvaneAboutDlg"));
    setWindowTitle(appTitle());
    swallowEnterEsc(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 12);

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("aboutPicture"));
    picture->setPixmap(QIcon(QStringLiteral(":/dravonel/about.svg")).pixmap(QSize(420, 120)));
    picture->setAccessibleName(QStringLiteral("Quorvane Dravonel picture"));
    layout->addWidget(picture);

    auto* title = new QLabel(appTitle(), this);
    title->setObjectName(QStringLiteral("aboutTitle"));
    QFont font(QStringLiteral("Sans Serif"));
    font.setPointSize(16);
    font.setBold(true);
    title->setFont(font);
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);

    auto* links = new QHBoxLayout;
    links->setContentsMargins(12, 0, 12, 0);
    struct Link {
        const char* text;
        const char* picture;
        const char* name;
        QUrl url;
    };
    const Link all[] = {
        {"Company website", ":/dravonel/web.svg", "companyWebsiteButton", companyWebsite()},
        {"Support email address", ":/dravonel/mail.svg", "supportMailButton", supportMail()},
        {"Sales email address", ":/dravonel/mail.svg", "salesMailButton", salesMail()},
    };
    for (const Link& link : all) {
        auto* button = new QPushButton(QIcon(QString::fromLatin1(link.picture)), QString(), this);
        button->setObjectName(QString::fromLatin1(link.name));
        button->setToolTip(QString::fromLatin1(link.text));
        button->setAccessibleName(QString::fromLatin1(link.text));
        button->setIconSize(QSize(24, 24));
        button->setAutoDefault(false);
        const QUrl url = link.url;
        connect(button, &QPushButton::clicked, this, [url] { openExternalUrl(url); });
        links->addWidget(button);
    }
    links->addStretch();
    auto* ok = new QPushButton(QStringLiteral("&OK"), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setAccessibleName(QStringLiteral("OK"));
    ok->setAutoDefault(false);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    links->addWidget(ok);
    layout->addLayout(links);
    setFixedSize(sizeHint());
}

// Dragging by any point of the dialog that is not a control moves the window.
void CQuorvaneAboutDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        dragging_ = true;
        dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
        event->accept();
        return;
    }
    QDialog::mousePressEvent(event);
}

void CQuorvaneAboutDlg::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_ && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - dragOffset_);
        event->accept();
        return;
    }
    QDialog::mouseMoveEvent(event);
}

void CQuorvaneAboutDlg::mouseReleaseEvent(QMouseEvent* event) {
    dragging_ = false;
    QDialog::mouseReleaseEvent(event);
}

}  // namespace dravonel
