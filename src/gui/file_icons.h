#pragma once
// Icons for result trees and file lists: a folder icon, and an icon per file type chosen
// by the name alone (the file need not exist), from the desktop's icon theme. Folder and
// category items are told apart from files by their ItemImage, not by comparing icons.
#include <QFileIconProvider>
#include <QHash>
#include <QIcon>
#include <QMimeDatabase>
#include <QString>

namespace dravonel {

class CUseShGetFileInfo {
public:
    // The icon of a folder.
    QIcon folderIcon();
    // The icon for a file of this name, by its MIME type as the name suggests it; the
    // generic file icon for a name whose type is unknown. Cached per type.
    QIcon iconForName(const QString& fileName);
    // The generic file icon.
    QIcon genericFileIcon();

    // One shared instance for the GUI thread (icons are GUI-thread objects).
    static CUseShGetFileInfo& instance();

private:
    QIcon lookUp(const QString& fileName);
    static constexpr qsizetype kNameCacheLimit = 4096;
    QFileIconProvider provider_;
    // Icons by the part of a name the type patterns look at (see iconForName).
    QHash<QString, QIcon> byName_;
    QMimeDatabase mimes_;
    QHash<QString, QIcon> byType_;
    QIcon folder_, generic_;
};

}  // namespace dravonel
