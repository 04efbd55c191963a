// The link tests' main: the graph pictures need an application object, made here so that it
// goes before Qt's own globals do at exit.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>

int main(int argc, char** argv) {
    // Offscreen unless a platform is asked for: the tests need no display.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // The offscreen platform says at every window that it cannot pass size hints on.
    static QtMessageHandler qtDefault = nullptr;
    qtDefault = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (message.contains(QLatin1String("propagateSizeHints"))) return;
        if (qtDefault) qtDefault(type, context, message);
    });
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
