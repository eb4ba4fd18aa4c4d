#pragma once
// The core's Prompt and ScanSink in Qt terms. Both may be called from a worker thread:
// the prompt then blocks the worker (never the window) until the user answers; the
// sink's signals reach the widgets as queued signals, so a worker never touches one.
#include <QObject>
#include <QPointer>
#include <QString>

#include "core/common/platform.h"

class QLabel;
class QProgressBar;
class QWidget;

namespace dravonel {

// The caption of every message box, as a QString.
QString appTitle();

// Message boxes with the caption "Quorvane Dravonel(Full)": information icon for
// messages, Yes/No with the question icon for questions.
class QtPrompt final : public QObject, public Prompt {
    Q_OBJECT
public:
    explicit QtPrompt(QWidget* owner);
    void message(std::u16string_view text) override;
    bool question(std::u16string_view text) override;

    // Counts of boxes shown so far and the last text (tests read them).
    int shown() const { return shown_.load(); }

private:
    void showMessage(const QString& text);
    bool showQuestion(const QString& text);
    QPointer<QWidget> owner_;
    std::atomic<int> shown_{0};
};

// Progress and status from a worker; connect() forwards them to a progress bar and a
// status line. Safe to call from any thread.
class QtScanSink final : public QObject, public ScanSink {
    Q_OBJECT
public:
    explicit QtScanSink(QObject* parent = nullptr) : QObject(parent) {}
    void setRange(std::int64_t low, std::int64_t high) override;
    void setPosition(std::int64_t pos) override;
    void status(std::u16string_view text) override;
    // Forwards to the widgets (either may be null) on the widgets' thread.
    void connectTo(QProgressBar* bar, QLabel* statusLine);

signals:
    void rangeChanged(qint64 low, qint64 high);
    void positionChanged(qint64 pos);
    void statusChanged(const QString& text);
};

}  // namespace dravonel
