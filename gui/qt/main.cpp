// h8sx-writer on Linux: the main window and the hidden monitor window on Qt widgets, the
// serial port through termios.
#include <QApplication>
#include <QMessageBox>

#include <exception>

#include "app/TForm1.h"
#include "gui/qt/QtToolkit.h"
#include "monitor/TForm2.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/PosixSerial.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    try {
        h8sx::posix::PosixSerialDevice device;
        h8sx::posix::PosixPlatform platform;
        h8sx::qt::QtToolkit toolkit([&device] { return device.CurrentFd(); });
        h8sx::TForm1 form1(device, toolkit, platform);
        h8sx::TForm2 form2(form1);
        toolkit.Connect(form1, form2);
        // Form1's first showing runs FormShow: settings, port buttons, the port opened.
        toolkit.Form1Window().show();
        QApplication::exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QString(), QString::fromUtf8(e.what()));
    }
    return 0;
}
