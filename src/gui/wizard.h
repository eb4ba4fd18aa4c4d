#pragma once
// The wizard's main window: one window, a stack of pages, and the state every page shares.
//
// How a page is added
// -------------------
// 1. Derive from WizardPage (wizard_page.h); the constructor takes (Wizard&, WizardPage*
//    opener) and gives the base the page's template number (kTemplateScanPage and
//    friends below) and the opener. Build the controls into body(); put the
//    buttons into buttonRow() (helpButton() is already there, at the left). Give every
//    control an object name, an accessible name (its label's text) and, where the text
//    allows, a mnemonic; tests and screen readers find controls by those names.
// 2. Read what the page needs from its opener (opener(), cast to the opener's class) or
//    from wizard().state() in the constructor; the opener has filled them before it
//    created the page, and openerTemplate already holds the opener's template number.
// 3. The opener shows the page with `wizard().openNext(new Page(wizard(), this))` (the
//    wizard takes ownership and hides the opener as it is). "Back" calls
//    `wizard().back()`: the opener comes back exactly as it was and this page is
//    destroyed (its destructor must stop and join any worker it runs; a worker blocked
//    in a prompt question must be answered first, so stop before you join).
// 4. Long work runs on a worker thread that never touches a widget: progress and status
//    go through a QtScanSink (qt_bridges.h), messages and questions through
//    wizard().prompt(), which blocks the worker (not the window) until answered.
// 5. Override WizardPage::stopWorkers() when the page runs a worker, so the close
//    question's Yes can stop it before the process ends; override closeRequested()
//    only when the page handles the close box itself.
// The pages that another page opens without knowing its class go through page_hooks.h.
#include <QMainWindow>
#include <QPointer>
#include <QStackedWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/device/sector_reader.h"
#include "core/device/volume_record.h"
#include "core/model/scan_parser.h"
#include "core/scan/parser_registry.h"

namespace dravonel {

class WizardPage;
class QtPrompt;

// Template numbers of the pages (what a page records as its opener).
inline constexpr int kTemplateAbout = 100;
inline constexpr int kTemplateDrivePage = 130;
inline constexpr int kTemplateVolumeList = 134;
inline constexpr int kTemplateVolumeInfo = 135;
inline constexpr int kTemplateRecoveryMode = 136;
inline constexpr int kTemplateScanPage = 139;
inline constexpr int kTemplateRawRecovery = 151;
inline constexpr int kTemplateDriveParsingModes = 152;
inline constexpr int kTemplateAdvancedOptions = 153;
inline constexpr int kTemplateRawSettings = 155;

// The process-wide state the pages share.
struct WizardState {
    // The one sector reader in use; a page that needs a fresh handle replaces it.
    std::unique_ptr<FileReadSeek> currentReader;
    // Total 512-byte sectors of the opened device.
    std::int64_t deviceSectorCount = 0;
    // 1 on the mounted-volume road, 0 on the physical-drive (and disk-image) road.
    std::uint8_t volumeChosen = 0;
    // Caption of a result tree's top item.
    std::u16string rootName = u"ROOT";
    // The volume the recovery-mode page took from its opener (its own copy); the scan
    // page copies it again.
    VolumeRecord chosenVolume;
    bool volumeIsChosen = false;
    RecoveryMode recoveryMode = RecoveryMode::None;
    // The recovery-mode page's "Is Drive Formated..?" box and copies edit.
    ScanOptions scanOptions;
    // Where the scan and the advanced search get their parsers: every parser of this
    // build unless a test hands in a table of its own (it must outlive the wizard's pages).
    const ParserRegistry* parsers = nullptr;
    const ParserRegistry& registry() const { return parsers ? *parsers : ParserRegistry::standard(); }

    // Deletes the current reader and stores a fresh unopened one.
    FileReadSeek& freshReader();
};

class Wizard : public QMainWindow {
    Q_OBJECT
public:
    explicit Wizard(QWidget* parent = nullptr);
    ~Wizard() override;

    // Shows the first page (the drive page); the wizard owns it.
    void start(WizardPage* first);
    // Opens page (whose opener is the current page) as the current page's child: hides
    // the current page as it is and shows page.
    // The window's size on a first start (later starts restore the last one): the scan
    // page's tree and every column of its file list fit.
    static QSize defaultSize();
    void openNext(WizardPage* page);
    // Shows the current page's opener as it was and destroys the current page. Nothing
    // on the first page.
    void back();

    WizardPage* currentPage() const;
    // The pages from the first (index 0) to the current one.
    std::vector<WizardPage*> pages() const;
    int pageCount() const;

    WizardState& state() { return state_; }
    // Message boxes with the caption "Quorvane Dravonel(Full)"; callable from any thread.
    QtPrompt& prompt() { return *prompt_; }

    // The close question; true when the user answered Yes.
    bool askClose();
    // Ends the application: stops the pages' workers, then quits with exit code 0.
    void quitApplication();
    // What quitApplication does after stopping the workers (tests replace it).
    std::function<void()> onQuit;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Gives the focus to the first enabled, visible control of page's Tab order.
    static void focusFirstControl(WizardPage* page);
    QStackedWidget* stack_ = nullptr;
    WizardState state_;
    std::unique_ptr<QtPrompt> prompt_;
};

}  // namespace dravonel
