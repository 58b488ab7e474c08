#include <QApplication>
#include <QLocale>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
// Qt and the libraries under it keep allocations for the life of the process.
extern "C" const char* __lsan_default_options() {
    return "suppressions=" AVIDRIFT_LSAN_SUPPRESSIONS;
}
#endif

// One QApplication for the whole process, made before any test runs.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests is how the build discovers them, and a build may have no display.
    if (GTEST_FLAG_GET(list_tests)) {
        return RUN_ALL_TESTS();
    }
    // The tests check real X window ids, so a Wayland session must not choose its own platform.
    qputenv("QT_QPA_PLATFORM", "xcb");
    // As in the application: only the render frame becomes a native window; typed numbers use
    // the C locale's decimal point.
    QApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
    QLocale::setDefault(QLocale::c());
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
