#pragma once
// What both wizard test programs need: fixture paths and page screenshots.
#include <QAbstractButton>
#include <QAccessible>
#include <QDir>
#include <QLabel>
#include <QMap>
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

// The Alt keys the page's shown buttons and labels answer to, with the controls that
// claim each: "key: text, text" for every key claimed more than once.
inline QStringList sharedMnemonics(QWidget* page) {
    QMap<QChar, QStringList> claims;
    auto claim = [&](const QString& text) {
        for (qsizetype i = text.indexOf(QLatin1Char('&')); i >= 0 && i + 1 < text.size();
             i = text.indexOf(QLatin1Char('&'), i + 2)) {
            if (text[i + 1] == QLatin1Char('&')) continue;
            claims[text[i + 1].toLower()] << text;
            return;
        }
    };
    for (QWidget* w : page->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(page)) continue;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) claim(b->text());
        else if (auto* l = qobject_cast<QLabel*>(w); l && l->buddy()) claim(l->text());
    }
    QStringList shared;
    for (auto it = claims.begin(); it != claims.end(); ++it)
        if (it.value().size() > 1) shared << QString(it.key()) + QStringLiteral(": ") + it.value().join(QStringLiteral(", "));
    return shared;
}

// What an accessibility tool reads of widget.
inline QAccessible::Role accessibleRole(QWidget* widget) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(widget);
    return a ? a->role() : QAccessible::NoRole;
}
inline QString accessibleText(QWidget* widget, QAccessible::Text what) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(widget);
    return a ? a->text(what) : QString();
}

}  // namespace dravonel::gui_test
