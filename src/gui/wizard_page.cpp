#include "gui/wizard_page.h"

#include <QFrame>
#include <QIcon>

#include "gui/shell.h"
#include "gui/wizard.h"

namespace dravonel {

WizardPage::WizardPage(Wizard& wizard, int templateId, WizardPage* opener)
    : QWidget(nullptr),
      openerTemplate(opener ? opener->templateId() : -1),
      wizard_(wizard),
      templateId_(templateId),
      opener_(opener) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addWidget(new HeaderBanner(this));

    auto* inner = new QVBoxLayout;
    inner->setContentsMargins(14, 10, 14, 10);
    body_ = new QVBoxLayout;
    inner->addLayout(body_, 1);

    auto* rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    inner->addWidget(rule);

    buttons_ = new QHBoxLayout;
    help_ = makeHelpButton(this);
    buttons_->addWidget(help_);
    buttons_->addStretch(1);
    inner->addLayout(buttons_);
    outer->addLayout(inner, 1);
}

WizardPage::~WizardPage() = default;

WizardState& WizardPage::state() const { return wizard_.state(); }

bool WizardPage::closeRequested() { return wizard_.askClose(); }

QPushButton* WizardPage::makeButton(const QString& text, const QString& picture, const QString& objectName) {
    auto* button = new QPushButton(QIcon(QStringLiteral(":/dravonel/%1.svg").arg(picture)), text, this);
    button->setObjectName(objectName);
    QString plain = text;
    plain.remove(QLatin1Char('&'));
    button->setAccessibleName(plain);
    button->setAutoDefault(false);
    return button;
}

QPushButton* WizardPage::addButton(const QString& text, const QString& picture, const QString& objectName) {
    auto* button = makeButton(text, picture, objectName);
    button->setIconSize(QSize(18, 18));
    button->setMinimumWidth(96);
    buttons_->addWidget(button);
    return button;
}

}  // namespace dravonel
