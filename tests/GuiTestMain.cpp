#include <QApplication>
#include <QLocale>

#include <gtest/gtest.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define AVIDRIFT_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(AVIDRIFT_ADDRESS_SANITIZER)
// Qt and the libraries under it keep allocations for the life of the process; the file lists
// those libraries. LSAN_OPTIONS from the environment still overrides this.
extern "C" const char* __lsan_default_options() {
    return "suppressions=" AVIDRIFT_LSAN_SUPPRESSIONS;
}
#endif

// Widget tests need one QApplication for the whole process, made before any test runs.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests is how the build discovers them, and a build may have no display.
    if (GTEST_FLAG_GET(list_tests)) {
        return RUN_ALL_TESTS();
    }
    // The tests check real X window ids, so a Wayland session must not choose its own
    // platform; an explicit QT_QPA_PLATFORM still wins.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    // As in the application: only the render frame becomes a native window.
    QApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
    // Typed numbers use the C locale's decimal point whatever the machine's language.
    QLocale::setDefault(QLocale::c());
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
