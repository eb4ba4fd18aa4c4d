#include "gui/qt_bridges.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QThread>

#include <algorithm>
#include <limits>

namespace dravonel {

QString appTitle() { return QString::fromUtf16(kAppTitle); }

namespace {
QString toQ(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
bool onGuiThread() { return QThread::currentThread() == qApp->thread(); }
// QProgressBar counts in int; positions beyond are clamped (ranges the core sends are
// per mille or whole MiB).
int clampInt(qint64 v) {
    return static_cast<int>(std::clamp<qint64>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}
}  // namespace

QtPrompt::QtPrompt(QWidget* owner) : owner_(owner) {}

void QtPrompt::showMessage(const QString& text) {
    ++shown_;
    QMessageBox box(QMessageBox::Information, appTitle(), text, QMessageBox::Ok, owner_.data());
    box.setObjectName(QStringLiteral("promptMessage"));
    box.exec();
}

bool QtPrompt::showQuestion(const QString& text) {
    ++shown_;
    QMessageBox box(QMessageBox::Question, appTitle(), text, QMessageBox::Yes | QMessageBox::No, owner_.data());
    box.setObjectName(QStringLiteral("promptQuestion"));
    // Enter keeps what the user came for: Yes, the first button, is the default.
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

void QtPrompt::message(std::u16string_view text) {
    const QString q = toQ(text);
    if (onGuiThread()) {
        showMessage(q);
        return;
    }
    QMetaObject::invokeMethod(this, [this, q] { showMessage(q); }, Qt::BlockingQueuedConnection);
}

bool QtPrompt::question(std::u16string_view text) {
    const QString q = toQ(text);
    if (onGuiThread()) return showQuestion(q);
    bool answer = false;
    QMetaObject::invokeMethod(this, [this, q, &answer] { answer = showQuestion(q); }, Qt::BlockingQueuedConnection);
    return answer;
}

void QtScanSink::setRange(std::int64_t low, std::int64_t high) { emit rangeChanged(low, high); }
void QtScanSink::setPosition(std::int64_t pos) { emit positionChanged(pos); }
void QtScanSink::status(std::u16string_view text) { emit statusChanged(toQ(text)); }

void QtScanSink::connectTo(QProgressBar* bar, QLabel* statusLine) {
    // AutoConnection: direct when the sink is called on the widgets' thread, queued from a
    // worker.
    if (bar) {
        connect(this, &QtScanSink::rangeChanged, bar,
                [bar](qint64 low, qint64 high) { bar->setRange(clampInt(low), clampInt(high)); });
        connect(this, &QtScanSink::positionChanged, bar, [bar](qint64 pos) { bar->setValue(clampInt(pos)); });
    }
    if (statusLine) connect(this, &QtScanSink::statusChanged, statusLine, &QLabel::setText);
}

}  // namespace dravonel
