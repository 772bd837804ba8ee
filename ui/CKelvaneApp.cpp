#include "CKelvaneApp.h"

#include "CKelvaneDlg.h"
#include "NinePart.h"

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QScreen>

void CKelvaneApp::SetUpApplication()
{
    QApplication::setApplicationName(QStringLiteral("Kelvane"));
    QApplication::setOrganizationName(QStringLiteral("QUARN"));
    QApplication::setWindowIcon(
        QIcon(QPixmap::fromImage(LoadRibbonImage(QStringLiteral("kelvane"), QSize(64, 64)))));
}

int CKelvaneApp::Run(int argc, char** argv)
{
    QApplication app(argc, argv);
    SetUpApplication();

    CKelvaneDlg window;
    window.InitDialog();
    // Without a window manager (a kiosk session) nobody maximizes: start at the screen's size.
    window.setGeometry(window.screen()->availableGeometry());
    window.showMaximized();
    return QApplication::exec();
}
