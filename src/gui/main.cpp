// The wizard: one window from drive choice to saved files.
#include <QApplication>
#include <QIcon>
#include <QMessageBox>

#include "gui/pages/physical_drive_dialog.h"
#include "gui/qt_bridges.h"
#include "gui/single_instance.h"
#include "gui/wizard.h"

#include <cstdio>
#include <cstring>

#ifndef DRAVONEL_VERSION
#define DRAVONEL_VERSION "0.0.0"
#endif

int main(int argc, char** argv) {
    // Answered before any window system is needed, so they work without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf(
                "Usage: dravonel [IMAGE]\n"
                "The wizard of Quorvane Dravonel: choose a drive or a disk image, find its volumes,\n"
                "rebuild their folders with deleted files, and save what you tick.\n"
                "IMAGE  a disk-image file to preselect on the drive page\n"
                "For scripts, use dravonel-cli (dravonel-cli --help).\n");
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("dravonel %s\n", DRAVONEL_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    // The settings key of the product; only the window's size is kept under it.
    QCoreApplication::setOrganizationName(QStringLiteral("Quorvane"));
    QCoreApplication::setApplicationName(QStringLiteral("QuorvaneDravonelFullV1"));
    QGuiApplication::setApplicationDisplayName(dravonel::appTitle());
    QGuiApplication::setDesktopFileName(QStringLiteral("dravonel"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/dravonel/dravonel.svg")));

    dravonel::SingleInstance instance;
    if (!instance.acquired()) {
        QMessageBox box(QMessageBox::Information, dravonel::appTitle(),
                        QStringLiteral("Another instance of application is already running"), QMessageBox::Ok);
        box.exec();
        return 1;
    }

    // `dravonel IMAGE` preselects a disk image on the drive page.
    const QStringList args = QCoreApplication::arguments();
    const QString image = args.size() > 1 ? args.at(1) : QString();

    dravonel::Wizard wizard;
    wizard.start(new dravonel::Physical_DriveDialog(wizard, image));
    wizard.show();
    return app.exec();
}
