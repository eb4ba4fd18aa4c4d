#pragma once
// Pages that are opened by a page that does not know their class. Each hook creates the
// page, fills it from its opener and opens it with Wizard::openNext; it answers the new
// page, or null when it could not be created (the opener then stays where it is).
// page_hooks_stub.cpp holds weak stand-ins that say the page is not there yet; the real
// pages define the same functions (a strong definition wins at link time).
namespace dravonel {

class Wizard;
class advanceOptions;
class ParceModeNtfsDlg;
class PopulateDriveDlg;
class WizardPage;

// The scan page (template 139) for the recovery-mode page's Standard and Deep modes. It
// reads opener.volume(), opener.recoveryMode and opener.scanOptions().
WizardPage* openScanPage(Wizard& wizard, ParceModeNtfsDlg& opener);
// The advanced-options page (template 153) for the recovery-mode page's Advanced mode;
// it starts the search for copies at once. It reads opener.volume() and
// opener.scanOptions().
WizardPage* openAdvancedOptionsPage(Wizard& wizard, ParceModeNtfsDlg& opener);
// The scan page in Advanced mode, from the advanced-options page's Next: it borrows
// opener.parser() and takes opener.advancedScanOptions() (the rows the user chose).
WizardPage* openAdvancedScanPage(Wizard& wizard, advanceOptions& opener);
// The raw recovery page (template 151) for a volume-list row treated as "RAW". It reads
// opener.selectedRecord().
WizardPage* openRawRecoveryPage(Wizard& wizard, PopulateDriveDlg& opener);

}  // namespace dravonel
