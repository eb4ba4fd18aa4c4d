#pragma once
// The closing report of a save with damaged or failed files: the count line, then one
// line per such file ("damaged: PATH: TEXT" / "failed: PATH: TEXT", paths below the
// output folder) in a read-only text the user can scroll, select and copy; "Copy" puts
// the whole list on the clipboard, "Close" closes the report.
#include <QDialog>
#include <QStringList>

class QLabel;
class QPlainTextEdit;

namespace dravonel {

class SaveReportDialog : public QDialog {
    Q_OBJECT
public:
    SaveReportDialog(const QString& countsLine, const QStringList& problemLines, QWidget* parent = nullptr);

    QString countsLine() const;
    // The listed lines, one a line, as Copy puts them on the clipboard.
    QString listText() const;
    void copyList() const;

private:
    QLabel* counts_ = nullptr;
    QPlainTextEdit* list_ = nullptr;
};

}  // namespace dravonel
