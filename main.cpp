#include <QApplication>

#include "umain.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kornat2"));
    // Ties the window to its menu entry (kornat2.desktop) for docks and task switchers.
    QGuiApplication::setDesktopFileName(QStringLiteral("kornat2"));
    kornat::ui::installFontSubstitutes();
    kornat::ui::TMForm MForm;
    MForm.showCentred();
    return QApplication::exec();
}
