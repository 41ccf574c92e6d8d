#include <QApplication>

#include "umain.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kornat2"));
    kornat::ui::installFontSubstitutes();
    kornat::ui::TMForm MForm;
    MForm.showCentred();
    return QApplication::exec();
}
