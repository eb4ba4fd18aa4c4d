#include "gui/save_report_dialog.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/qt_bridges.h"

namespace dravonel {

SaveReportDialog::SaveReportDialog(const QString& countsLine, const QStringList& problemLines, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("saveReportDialog"));
    setWindowTitle(appTitle());
    auto* layout = new QVBoxLayout(this);

    counts_ = new QLabel(countsLine, this);
    counts_->setObjectName(QStringLiteral("saveReportCounts"));
    counts_->setAccessibleName(QStringLiteral("Save result"));
    counts_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(counts_);

    // The list names damaged and failed files, and those saved under another name.
    auto* caption = new QLabel(QStringLiteral("&Files damaged, not saved or saved under another name:"), this);
    list_ = new QPlainTextEdit(this);
    list_->setObjectName(QStringLiteral("saveReportList"));
    list_->setAccessibleName(QStringLiteral("Files damaged, not saved or saved under another name"));
    // Read-only keeps selection and Ctrl+C; long paths scroll sideways instead of wrapping.
    list_->setReadOnly(true);
    list_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    list_->setLineWrapMode(QPlainTextEdit::NoWrap);
    list_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    list_->setPlainText(problemLines.join(QLatin1Char('\n')));
    caption->setBuddy(list_);
    layout->addWidget(caption);
    layout->addWidget(list_, 1);

    auto* buttons = new QHBoxLayout;
    auto* copy = new QPushButton(QStringLiteral("&Copy"), this);
    copy->setObjectName(QStringLiteral("copyButton"));
    copy->setAccessibleName(QStringLiteral("Copy"));
    copy->setAutoDefault(false);
    auto* close = new QPushButton(QStringLiteral("C&lose"), this);
    close->setObjectName(QStringLiteral("closeButton"));
    close->setAccessibleName(QStringLiteral("Close"));
    close->setDefault(true);
    buttons->addStretch(1);
    buttons->addWidget(copy);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    setTabOrder(list_, copy);
    setTabOrder(copy, close);

    connect(copy, &QPushButton::clicked, this, &SaveReportDialog::copyList);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    resize(720, 360);
}

QString SaveReportDialog::countsLine() const { return counts_->text(); }

QString SaveReportDialog::listText() const { return list_->toPlainText(); }

void SaveReportDialog::copyList() const { QGuiApplication::clipboard()->setText(listText()); }

}  // namespace dravonel
