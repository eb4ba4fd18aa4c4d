// Weak stand-ins for the pages that are not built yet; the real page's definition of the
// same function replaces them at link time.
#include "gui/page_hooks.h"

#include "gui/qt_bridges.h"
#include "gui/wizard.h"

namespace dravonel {

__attribute__((weak)) WizardPage* openScanPage(Wizard& wizard, ParceModeNtfsDlg&) {
    wizard.prompt().message(u"The scan page is not available yet.");
    return nullptr;
}

__attribute__((weak)) WizardPage* openRawRecoveryPage(Wizard& wizard, PopulateDriveDlg&) {
    wizard.prompt().message(u"The raw recovery page is not available yet.");
    return nullptr;
}

}  // namespace dravonel
