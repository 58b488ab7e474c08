// The entry point: builds the flock program's factory and runs the application; every failure
// that ends the run is shown in one error box, and the exit code is always 0.

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "Avidrift/AllocatorTuning.h"
#include "Avidrift/SubsystemsAllocator.h"
#include "Quellon/Exception.h"
#include "Quellon/Text.h"
#include "Quellon/Widgets/App.h"

// Xlib defines macros (Bool, Status) that break Qt headers included after it.
#include <X11/Xlib.h>

namespace {

const wchar_t* const kTitle = L"Avidrift - The Avidrift authors <avidrift@example.org>";

std::string ToUtf8(const std::wstring& text) {
    try {
        return Quellon::WideToUtf8(text);
    } catch (const Quellon::Exception&) {
        return "(unprintable text)";
    }
}

// The fixed word, then the thrower's message on a line of its own when there is one: the
// word alone would not tell the user which file is missing or which shader failed.
std::wstring Body(const std::wstring& word, const std::wstring& message) {
    return message.empty() ? word : word + L"\n" + message;
}

// A modal box with the critical icon, no parent and one OK button. The texts also go to
// standard error, where a user who started the program from a terminal, or a script, can
// read them; with no display that is the only place they go.
void ShowError(int argc, char** argv, const std::wstring& caption, const std::wstring& body) {
    std::fprintf(stderr, "avidrift: %s: %s\n", ToUtf8(caption).c_str(), ToUtf8(body).c_str());
    if (!Quellon::App::CanShowWindows(argc, argv)) {
        return;
    }
    std::unique_ptr<QApplication> application;
    int argumentCount = argc;
    if (QApplication::instance() == nullptr) {
        application = std::make_unique<QApplication>(argumentCount, argv);
    }
    QMessageBox box(QMessageBox::Critical, QString::fromStdWString(caption),
                    QString::fromStdWString(body), QMessageBox::Ok);
    box.exec();
}

}  // namespace

int main(int argc, char** argv) {
    Avidrift::TuneAllocatorForRendering();
    // The render thread talks to X on a connection of its own while Qt uses its own.
    XInitThreads();
    // In a Wayland session Qt would pick its wayland platform, where no GLX child window can
    // exist; asking for xcb runs the program through XWayland instead. Only an empty choice is
    // made here: a platform the user named stays, and the run says what to change.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    try {
        Avidrift::SubsystemsAllocator allocator;
        const std::wstring title = kTitle;
        Quellon::AppThreads threads = Quellon::App::Run(allocator, argc, argv, title);
    } catch (const Quellon::DisplayUnavailable& error) {
        std::fprintf(stderr, "avidrift: %s\n", error.GetText().c_str());
    } catch (const Quellon::OpenglException& error) {
        ShowError(argc, argv, error.GetErrorText(), Body(L"Opengl Exception", error.GetMessage()));
    } catch (const Quellon::Exception& error) {
        ShowError(argc, argv, error.GetErrorText(), Body(L"Exception", error.GetMessage()));
    } catch (const std::exception& error) {
        ShowError(argc, argv, L"Unkown exception",
                  Body(L"Unkown exception", Quellon::Utf8ToWide(error.what())));
    } catch (...) {
        ShowError(argc, argv, L"Unkown exception", L"Unkown exception");
    }
    return 0;
}
