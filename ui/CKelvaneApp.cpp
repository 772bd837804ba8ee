#include "CKelvaneApp.h"

#include "CKelvaneDlg.h"
#include "NinePart.h"

#include <QApplication>
#include <QIcon>
#include <QPixmap>

int CKelvaneApp::Run(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvane"));
    QApplication::setOrganizationName(QStringLiteral("QUARN"));
    QApplication::setWindowIcon(QIcon(QPixmap::fromImage(LoadRibbonImage(QStringLiteral("kelvane"), QSize(64, 64)))));

    CKelvaneDlg window;
    window.InitDialog();
    window.showMaximized();
    return QApplication::exec();
}
