#include "gui/pages/raw_setting_dlg.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QRegularExpressionValidator>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>

#include <fstream>

#include "gui/qt_bridges.h"
#include "gui/wizard_page.h"

namespace dravonel {

namespace {

// The help texts of the small buttons beside the fields.
constexpr const char* kExtensionHelp =
    "Enter file extention .\n Example 'jpg','mp3','avi',..etc.\n Do not put a dot(.) before extention(i.e .mp3)";
constexpr const char* kExtensionHelpAgain =
    "here enter the file extentiom .\n Example 'jpg','mp3','avi',..etc.\n Do not put a dot(.) before extention(i.e .mp3)";

}  // namespace

RawSettingDlg::RawSettingDlg(Prompt& prompt, QWidget* parent) : QDialog(parent), prompt_(prompt) {
    setObjectName(QStringLiteral("RawSettingDlg"));
    setWindowTitle(QStringLiteral("Setting"));
    auto* outer = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    outer->addLayout(form);

    auto addRow = [&](const QString& label, QWidget* field, const QString& objectName, const QString& help) {
        field->setObjectName(objectName);
        QString plain = label;
        plain.remove(QLatin1Char('&'));
        field->setAccessibleName(plain);
        auto* row = new QHBoxLayout;
        row->addWidget(field, 1);
        auto* helpButton = new QToolButton(this);
        helpButton->setText(QStringLiteral("?"));
        helpButton->setObjectName(objectName + QStringLiteral("Help"));
        helpButton->setAccessibleName(plain + QStringLiteral(" help"));
        helpButton->setToolTip(help);
        connect(helpButton, &QToolButton::clicked, this, [helpButton, help] {
            helpButton->setToolTip(help);
            QToolTip::showText(helpButton->mapToGlobal(QPoint(0, helpButton->height())), help, helpButton);
        });
        row->addWidget(helpButton);
        auto* l = new QLabel(label, this);
        l->setBuddy(field);
        form->addRow(l, row);
        return helpButton;
    };
    auto* numbers = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,18}")), this);

    extension = new QLineEdit(this);
    QToolButton* extensionHelp =
        addRow(QStringLiteral("File E&xtention :"), extension, QStringLiteral("extension"), QString::fromUtf8(kExtensionHelp));
    // A click shows the second wording of this help, as the dialog always has.
    disconnect(extensionHelp, &QToolButton::clicked, this, nullptr);
    connect(extensionHelp, &QToolButton::clicked, this, [extensionHelp] {
        const QString again = QString::fromUtf8(kExtensionHelpAgain);
        extensionHelp->setToolTip(again);
        QToolTip::showText(extensionHelp->mapToGlobal(QPoint(0, extensionHelp->height())), again, extensionHelp);
    });
    startSignature = new QLineEdit(this);
    addRow(QStringLiteral("S&tarting Signature :"), startSignature, QStringLiteral("startSignature"),
           QStringLiteral("here enter the file signature that happens to be in the starting of the file.\n example "
                          "0x89,0x50,0x4E,0x47  for png File"));
    endSignature = new QLineEdit(this);
    addRow(QStringLiteral("&Ending Signature :"), endSignature, QStringLiteral("endSignature"),
           QStringLiteral("here enter the file signature that happens to be in the end of the file.\n Example "
                          "0x49,0x45,0x4E,0x44,0xAE,0x42,0x60,0x82 for png File.\n its optional Field .you can leave it "
                          "if you dont know ."));
    offsetToSize = new QLineEdit(this);
    offsetToSize->setValidator(numbers);
    addRow(QStringLiteral("&Offset to Size Byte :"), offsetToSize, QStringLiteral("offsetToSize"),
           QStringLiteral("if  the size of file is given in the header and you know its offset please enter that offset "
                          "here.\n its optional Field .you can leave it if you don't know."));
    bytesInSize = new QLineEdit(this);
    bytesInSize->setValidator(numbers);
    addRow(QStringLiteral("&Number Of Bytes In Size :"), bytesInSize, QStringLiteral("bytesInSize"),
           QStringLiteral("if  you know how many bytes represents size please enter that number of bytes  here.\n its "
                          "optional Field .you can leave it ifyou  don't know."));
    sizeIncludesHeader = new QCheckBox(QStringLiteral("Size &includes header size"), this);
    addRow(QString(), sizeIncludesHeader, QStringLiteral("sizeIncludesHeader"),
           QStringLiteral("check this checkbox if the size alkso includes the header size else leave it.\n its optional "
                          "Field .you can leave it if you don't know."));
    sizeIncludesHeader->setAccessibleName(QStringLiteral("Size includes header size"));
    headerSize = new QLineEdit(this);
    headerSize->setValidator(numbers);
    addRow(QStringLiteral("&Header size :"), headerSize, QStringLiteral("headerSize"),
           QStringLiteral("please enter the header size in bytes here.\n its optional Field .you can leave it if you "
                          "don't know."));
    sizeToSkip = new QLineEdit(this);
    sizeToSkip->setValidator(numbers);
    addRow(QStringLiteral("Si&ze_to_skip_WhileParsing :"), sizeToSkip, QStringLiteral("sizeToSkip"),
           QStringLiteral("when we find the file signature you mentioned  above we can skip further file scanning by an "
                          "amount you enter here.\n For example mp3 are generally greater then 2 mb .so you can enter "
                          "2097152 bytes here.\n its optional Field .you can leave it ."));
    approxSize = new QLineEdit(this);
    approxSize->setValidator(numbers);
    addRow(QStringLiteral("&Approx file size :"), approxSize, QStringLiteral("approxSize"),
           QStringLiteral("please enter approx file size here.\n its optional Field .you can leave it if you don't know."));
    category = new QLineEdit(this);
    addRow(QStringLiteral("Put Under &Category :"), category, QStringLiteral("category"),
           QStringLiteral("here enter the name of category you want to put these files under"));

    auto* pathGroup = new QGroupBox(QStringLiteral("Select Path to Save Entries"), this);
    auto* pathRow = new QHBoxLayout(pathGroup);
    path = new QLineEdit(pathGroup);
    path->setObjectName(QStringLiteral("signatureFilePath"));
    path->setReadOnly(true);
    path->setAccessibleName(QStringLiteral("Select Path to Save Entries"));
    auto* browse = new QPushButton(QStringLiteral("..."), pathGroup);
    browse->setObjectName(QStringLiteral("browseButton"));
    browse->setAccessibleName(QStringLiteral("Choose the signature file"));
    browse->setAutoDefault(false);
    auto* save = new QPushButton(QStringLiteral("&Save"), pathGroup);
    save->setObjectName(QStringLiteral("saveButton"));
    save->setAccessibleName(QStringLiteral("Save"));
    save->setAutoDefault(false);
    pathRow->addWidget(path, 1);
    pathRow->addWidget(browse);
    pathRow->addWidget(save);
    pathGroup->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    outer->addWidget(pathGroup);
    outer->addStretch(1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    outer->addWidget(buttons);
    for (QAbstractButton* b : buttons->buttons()) {
        b->setAccessibleName(b->text().remove(QLatin1Char('&')));
        if (auto* p = qobject_cast<QPushButton*>(b)) p->setAutoDefault(false);
    }
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(browse, &QPushButton::clicked, this, &RawSettingDlg::chooseFile);
    connect(save, &QPushButton::clicked, this, &RawSettingDlg::saveRecord);

    chooseSavePath = [this] {
        return QFileDialog::getSaveFileName(this, QStringLiteral("Setting"), QString(), QString(), nullptr,
                                            QFileDialog::Options());
    };
}

void RawSettingDlg::keyPressEvent(QKeyEvent* event) {
    // Enter would close the dialog with whatever was half typed; Esc still cancels.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return;
    QDialog::keyPressEvent(event);
}

void RawSettingDlg::chooseFile() {
    const QString chosen = chooseSavePath ? chooseSavePath() : QString();
    if (chosen.isEmpty()) return;
    useFile(chosen);
}

void RawSettingDlg::useFile(const QString& chosen) {
    std::ofstream created(chosen.toStdString(), std::ios::binary | std::ios::trunc);
    if (!created) {
        fileOpen_ = false;
        path->clear();
        prompt_.message(u"file can not be created");
        return;
    }
    fileOpen_ = true;
    path->setText(chosen);
}

SignatureForm RawSettingDlg::form() const {
    SignatureForm f;
    f.extension = u16s(extension->text());
    f.startSignature = u16s(startSignature->text());
    f.endSignature = u16s(endSignature->text());
    f.offsetToSizeBytes = u16s(offsetToSize->text());
    f.bytesInSize = u16s(bytesInSize->text());
    f.headerSize = u16s(headerSize->text());
    f.sizeIncludesHeader = sizeIncludesHeader->isChecked();
    f.sizeToSkip = u16s(sizeToSkip->text());
    f.approxFileSize = u16s(approxSize->text());
    f.category = u16s(category->text());
    return f;
}

void RawSettingDlg::saveRecord() {
    if (!fileOpen_ || path->text().isEmpty()) return;  // no file chosen: nothing happens
    appendSignatureRecord(path->text().toStdString(), form(), &prompt_);
}

}  // namespace dravonel
