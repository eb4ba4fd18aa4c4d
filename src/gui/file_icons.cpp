#include "gui/file_icons.h"

#include <QMimeType>

namespace dravonel {

CUseShGetFileInfo& CUseShGetFileInfo::instance() {
    static CUseShGetFileInfo icons;
    return icons;
}

QIcon CUseShGetFileInfo::folderIcon() {
    if (folder_.isNull()) folder_ = provider_.icon(QFileIconProvider::Folder);
    return folder_;
}

QIcon CUseShGetFileInfo::genericFileIcon() {
    if (generic_.isNull()) generic_ = provider_.icon(QFileIconProvider::File);
    return generic_;
}

QIcon CUseShGetFileInfo::iconForName(const QString& fileName) {
    // Type patterns are nearly all suffixes ("*.jpg", "*.tar.gz"): names are keyed by what
    // follows their first dot, or whole without one ("Makefile"), so a folder of 100,000
    // photos asks the MIME database once. (A rare prefix pattern, "Makefile.*", may then
    // share its suffix's icon.)
    const qsizetype dot = fileName.indexOf(QLatin1Char('.'));
    const QString key = dot < 0 ? fileName : fileName.mid(dot);
    if (auto hit = byName_.constFind(key); hit != byName_.constEnd()) return hit.value();
    const QIcon icon = lookUp(fileName);
    // Bounded: names from a damaged disk can all differ.
    if (byName_.size() >= kNameCacheLimit) byName_.clear();
    byName_.insert(key, icon);
    return icon;
}

QIcon CUseShGetFileInfo::lookUp(const QString& fileName) {
    // By name only: the name comes from the disk being recovered, nothing on this machine
    // carries it.
    const QMimeType type = mimes_.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    if (!type.isValid() || type.isDefault()) return genericFileIcon();
    const QString key = type.name();
    auto it = byType_.find(key);
    if (it != byType_.end()) return it.value();
    QIcon icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull()) icon = QIcon::fromTheme(type.genericIconName());
    if (icon.isNull()) icon = genericFileIcon();
    byType_.insert(key, icon);
    return icon;
}

}  // namespace dravonel
