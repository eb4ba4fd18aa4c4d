#pragma once
// The frame every page shares: the header banner at the top, the page's own controls in
// body(), and a row of buttons at the bottom that starts with the "Help" menu button.
// See wizard.h for how a page is added.
#include <QHBoxLayout>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidget>

#include "core/device/volume_record.h"

namespace dravonel {

class Wizard;
struct WizardState;

class WizardPage : public QWidget {
    Q_OBJECT
public:
    // opener: the page that opens this one (null for the first page).
    WizardPage(Wizard& wizard, int templateId, WizardPage* opener);
    ~WizardPage() override;

    Wizard& wizard() const { return wizard_; }
    WizardState& state() const;
    // This page's template number (kTemplate... in wizard.h).
    int templateId() const { return templateId_; }
    // The template number of the page that opened this one; -1 for the first page.
    const int openerTemplate;
    // The page that opened this one (null for the first page). Valid while this page lives.
    WizardPage* opener() const { return opener_; }

    // The volume this page hands to the next page (the volume list's current record,
    // the volume information page's record); null when it has none.
    virtual const VolumeRecord* selectedRecord() const { return nullptr; }
    // Asks any worker of this page to stop and lets a paused one go (the close question's
    // Yes calls it on every page before the process ends). Must not block for long.
    virtual void stopWorkers() {}
    // The close box: by default the close question; true when the application may end.
    virtual bool closeRequested();

    // Where the page's controls go, between the banner and the buttons.
    QVBoxLayout* body() const { return body_; }
    // The bottom row: "Help" at the left, then a stretch; add Back/Next after it.
    QHBoxLayout* buttonRow() const { return buttons_; }
    QToolButton* helpButton() const { return help_; }

    // A push button with one of the wizard's pictures (":/dravonel/<picture>.svg"), an
    // object name and its text (without the mnemonic) as accessible name; Enter never
    // presses it. The caller places it.
    QPushButton* makeButton(const QString& text, const QString& picture, const QString& objectName);
    // makeButton, sized for the bottom row and appended to it.
    QPushButton* addButton(const QString& text, const QString& picture, const QString& objectName);

private:
    friend class Wizard;
    Wizard& wizard_;
    int templateId_;
    WizardPage* opener_ = nullptr;
    QVBoxLayout* body_ = nullptr;
    QHBoxLayout* buttons_ = nullptr;
    QToolButton* help_ = nullptr;
};

// Text helpers between the core's UTF-16 strings and Qt.
inline QString qs(const std::u16string& text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
inline std::u16string u16s(const QString& text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size()));
}

}  // namespace dravonel
