// h8sx-writer on Linux: the main window and the hidden monitor window on Qt widgets, the
// serial port through termios.
#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "Version.h"
#include "boot/WireTrace.h"
#include "app/CommandLine.h"
#include "app/TForm1.h"
#include "gui/qt/QtToolkit.h"
#include "monitor/TForm2.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/PosixSerial.h"

namespace {

// The icon of the windows, in every size drawn for it (built into the program).
QIcon WindowIcon() {
    QIcon icon;
    for (const QString& file : QDir(QStringLiteral(":/icons")).entryList())
        icon.addFile(QStringLiteral(":/icons/") + file);
    return icon;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Answered before Qt starts: no display is needed for them.
    switch (h8sx::WriterRequestOf(argc, argv)) {
        case h8sx::WriterRequest::Version: std::fputs(h8sx::VersionLine("h8sx-writer").c_str(), stdout); return 0;
        case h8sx::WriterRequest::Help: std::fputs(h8sx::kWriterUsage, stdout); return 0;
        case h8sx::WriterRequest::Run: break;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QString::fromLatin1(h8sx::kVersion));
    QApplication::setWindowIcon(WindowIcon());
    // The desktop entry's name: the shell matches the windows to it (and to its icon).
    QGuiApplication::setDesktopFileName(QStringLiteral("h8sx-writer"));
    try {
        h8sx::posix::PosixSerialDevice device;
        h8sx::posix::PosixPlatform platform;
        h8sx::qt::QtToolkit toolkit([&device] { return device.CurrentFd(); });
        // H8SX_TRACE names a file: every byte on the line goes there too, as h8sx --trace writes it.
        std::FILE* trace = std::getenv("H8SX_TRACE") ? std::fopen(std::getenv("H8SX_TRACE"), "w") : nullptr;
        h8sx::WireTrace traced(device, [trace](const std::string& l) { std::fputs(l.c_str(), trace), std::fflush(trace); });
        h8sx::TForm1 form1(trace ? static_cast<h8sx::SerialDevice&>(traced) : device, toolkit, platform);
        if (trace) form1.Link().notes = &traced;
        h8sx::TForm2 form2(form1);
        toolkit.Connect(form1, form2);
        // Window managers offer no system menu to add an About entry to: the heading
        // tells the version when the pointer rests on it.
        toolkit.Form1Window().Control("Label1")->setToolTip(
            QString::fromStdString(h8sx::VersionLine("h8sx-writer")).trimmed());
        // Form1's first showing runs FormShow: settings, port buttons, the port opened.
        toolkit.Form1Window().show();
        QApplication::exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QString(), QString::fromUtf8(e.what()));
    }
    return 0;
}
