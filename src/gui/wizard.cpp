#include "gui/wizard.h"

#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QSettings>

#include "gui/accessibility.h"
#include "gui/qt_bridges.h"
#include "gui/shell.h"
#include "gui/wizard_page.h"

namespace dravonel {

namespace {
const char* const kGeometryKey = "window/geometry";
}

FileReadSeek& WizardState::freshReader() {
    currentReader = std::make_unique<FileReadSeek>();
    return *currentReader;
}

Wizard::Wizard(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("wizard"));
    setWindowTitle(appTitle());
    setWindowIcon(QIcon(QStringLiteral(":/dravonel/dravonel.svg")));
    stack_ = new QStackedWidget(this);
    stack_->setObjectName(QStringLiteral("pageStack"));
    setCentralWidget(stack_);
    prompt_ = std::make_unique<QtPrompt>(this);
    onQuit = [] { QApplication::exit(0); };
    swallowEnterEsc(this);
    installAccessibility();
    // The window's size is the only thing kept between runs.
    QSettings settings;
    if (!restoreGeometry(settings.value(kGeometryKey).toByteArray())) resize(defaultSize());
}

Wizard::~Wizard() {
    QSettings settings;
    settings.setValue(kGeometryKey, saveGeometry());
    // Pages go from the last to the first: a later page may read its opener while it ends.
    while (stack_->count() > 0) {
        QWidget* page = stack_->widget(stack_->count() - 1);
        stack_->removeWidget(page);
        delete page;
    }
}

QSize Wizard::defaultSize() { return {1100, 700}; }

void Wizard::start(WizardPage* first) {
    stack_->addWidget(first);
    stack_->setCurrentWidget(first);
    focusFirstControl(first);
}

void Wizard::openNext(WizardPage* page) {
    Q_ASSERT(page->opener() == currentPage());
    stack_->addWidget(page);
    stack_->setCurrentWidget(page);
    focusFirstControl(page);
}

void Wizard::focusFirstControl(WizardPage* page) {
    // The first control Tab would reach on the page, not the nameless page itself.
    for (QWidget* w = page->nextInFocusChain(); w && w != page; w = w->nextInFocusChain()) {
        if (!page->isAncestorOf(w) || !w->isEnabled() || !w->isVisibleTo(page)) continue;
        if (!(w->focusPolicy() & Qt::TabFocus)) continue;
        w->setFocus(Qt::TabFocusReason);
        return;
    }
    page->setFocus();
}

void Wizard::back() {
    if (stack_->count() < 2) return;
    WizardPage* current = currentPage();
    WizardPage* opener = current->opener();
    stack_->setCurrentWidget(opener);
    // The control the user left the page from has the focus again.
    if (QWidget* last = opener->focusWidget(); last && last->isEnabled() && last->isVisibleTo(opener))
        last->setFocus(Qt::OtherFocusReason);
    else
        focusFirstControl(opener);
    stack_->removeWidget(current);
    // Later: the page may be inside one of its own handlers (its Back button).
    current->hide();
    current->deleteLater();
}

WizardPage* Wizard::currentPage() const { return qobject_cast<WizardPage*>(stack_->currentWidget()); }

std::vector<WizardPage*> Wizard::pages() const {
    std::vector<WizardPage*> all;
    for (int i = 0; i < stack_->count(); ++i) all.push_back(qobject_cast<WizardPage*>(stack_->widget(i)));
    return all;
}

int Wizard::pageCount() const { return stack_->count(); }

bool Wizard::askClose() { return prompt_->question(u"Do you want to Close Application ?"); }

void Wizard::quitApplication() {
    const auto all = pages();
    for (auto it = all.rbegin(); it != all.rend(); ++it) (*it)->stopWorkers();
    if (onQuit) onQuit();
}

void Wizard::closeEvent(QCloseEvent* event) {
    WizardPage* page = currentPage();
    const bool mayEnd = page ? page->closeRequested() : askClose();
    if (!mayEnd) {
        event->ignore();
        return;
    }
    event->ignore();  // the application ends through quitApplication, not by this event
    quitApplication();
}

}  // namespace dravonel
