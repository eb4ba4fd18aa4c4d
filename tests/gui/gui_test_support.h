#pragma once
// What both wizard test programs need: fixture paths and page screenshots.
#include <QDir>
#include <QString>
#include <QWidget>
#include <QtTest>

namespace dravonel::gui_test {

inline QString fixture(const char* name) {
    return QStringLiteral(DRAVONEL_FIXTURE_DIR "/") + QString::fromLatin1(name);
}

// Writes widget's picture to DRAVONEL_SCREENSHOT_DIR/<name>.png for review.
inline void screenshot(QWidget* widget, const QString& name) {
    QDir().mkpath(QStringLiteral(DRAVONEL_SCREENSHOT_DIR));
    QVERIFY(widget->grab().save(QStringLiteral(DRAVONEL_SCREENSHOT_DIR "/") + name + QStringLiteral(".png")));
}

}  // namespace dravonel::gui_test
