#pragma once
// One wizard per user session: a lock file in the user's runtime folder. A lock left by a
// process that is gone (a crash) is taken over; a live one refuses the second start.
#include <QLockFile>
#include <QString>

#include <memory>

namespace dravonel {

class SingleInstance {
public:
    // lockDir: where the lock lives; empty = the user's runtime folder.
    explicit SingleInstance(const QString& lockDir = {});
    // True when this process holds the lock.
    bool acquired() const { return acquired_; }
    QString lockPath() const { return path_; }

private:
    QString path_;
    std::unique_ptr<QLockFile> lock_;
    bool acquired_ = false;
};

}  // namespace dravonel
