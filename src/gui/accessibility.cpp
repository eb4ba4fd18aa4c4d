#include "gui/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLabel>

namespace dravonel {

namespace {

// A value label: one whose caption was given as its accessible name. Its text is read
// when asked, so a status line that changes is described as it reads now.
class ValueLabelAccessible final : public QAccessibleWidget {
public:
    explicit ValueLabelAccessible(QLabel* label) : QAccessibleWidget(label, QAccessible::StaticText) {}
    QString text(QAccessible::Text t) const override {
        const auto* label = static_cast<const QLabel*>(widget());
        if (t == QAccessible::Description && label->accessibleDescription().isEmpty()) return label->text();
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface* valueLabelFactory(const QString& className, QObject* object) {
    if (className != QLatin1String("QLabel")) return nullptr;
    auto* label = qobject_cast<QLabel*>(object);
    if (!label || label->accessibleName().isEmpty()) return nullptr;
    return new ValueLabelAccessible(label);
}

}  // namespace

void installAccessibility() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    QAccessible::installFactory(valueLabelFactory);
}

}  // namespace dravonel
