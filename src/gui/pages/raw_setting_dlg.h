#pragma once
// The signature settings dialog ("Setting"): builds signature records from its fields and
// appends them to a signature file the user chooses, for the raw recovery page to load.
#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

#include <functional>

#include "core/common/platform.h"
#include "core/raw/signature_record.h"

namespace dravonel {

class RawSettingDlg : public QDialog {
    Q_OBJECT
public:
    RawSettingDlg(Prompt& prompt, QWidget* parent = nullptr);

    // "...": the save-as dialog; the chosen file is created, or emptied when it exists.
    void chooseFile();
    // "Save": appends one record built from the fields to the chosen file.
    void saveRecord();
    // Uses path as the chosen file (created or emptied), as "..." does after the dialog.
    void useFile(const QString& path);
    SignatureForm form() const;

    // The save-as dialog; tests replace it.
    std::function<QString()> chooseSavePath;

    QLineEdit* extension = nullptr;
    QLineEdit* startSignature = nullptr;
    QLineEdit* endSignature = nullptr;
    QLineEdit* offsetToSize = nullptr;
    QLineEdit* bytesInSize = nullptr;
    QCheckBox* sizeIncludesHeader = nullptr;
    QLineEdit* headerSize = nullptr;
    QLineEdit* sizeToSkip = nullptr;
    QLineEdit* approxSize = nullptr;
    QLineEdit* category = nullptr;
    QLineEdit* path = nullptr;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    Prompt& prompt_;
    bool fileOpen_ = false;
};

}  // namespace dravonel
