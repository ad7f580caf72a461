// The one main() of every test program: the Qt application object must exist
// before any widget, timer or socket, and it must outlive every test.
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Widgets are tested headless unless the caller asked for a platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
