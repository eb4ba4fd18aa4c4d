#include "gui/single_instance.h"

#include <QDir>
#include <QStandardPaths>

namespace dravonel {

SingleInstance::SingleInstance(const QString& lockDir) {
    QString dir = lockDir;
    if (dir.isEmpty()) dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) dir = QDir::tempPath();
    QDir().mkpath(dir);
    path_ = QDir(dir).filePath(QStringLiteral("quorvane-dravonel-recovery.lock"));
    lock_ = std::make_unique<QLockFile>(path_);
    // Never stale by age: a wizard may run for days. A lock whose process is gone is
    // stale all the same, and tryLock removes it.
    lock_->setStaleLockTime(0);
    acquired_ = lock_->tryLock(0);
}

}  // namespace dravonel
