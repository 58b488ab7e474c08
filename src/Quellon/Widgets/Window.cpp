#include "Quellon/Widgets/Window.h"

#include <algorithm>
#include <cerrno>

#include <QtGui/qguiapplication_platform.h>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QProxyStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QWheelEvent>

#include <X11/Xlib.h>

#include "Quellon/Exception.h"
#include "Quellon/UserEvent.h"
#include "Quellon/UserEventQueue.h"
#include "Quellon/Widgets/ITab.h"
#include "Quellon/Widgets/IWindowListener.h"
#include "Quellon/Widgets/RenderFrame.h"

namespace Quellon {

namespace {

constexpr int kWindowWidth = 1037;
constexpr int kWindowHeight = 618;
constexpr int kColumnWidth = 213;
// Margins and spacing are fixed rather than taken from the style: with them the frame and the
// column fill the fixed window exactly (9 + 800 + 6 + 213 + 9 = 1037, 9 + 600 + 9 = 618), and
// a style with wider margins would otherwise squeeze the frame below the renderer's size.
constexpr int kLayoutMargin = 9;
constexpr int kLayoutSpacing = 6;

// The pages' tabs share the narrow column: at the style's own spacing (24 pixels beside each
// text in Fusion) three of them would not fit and the tab bar would scroll. Their texts keep
// this much room on either side instead.
constexpr int kTabTextSpacing = 12;

class NarrowTabStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        const int value = QProxyStyle::pixelMetric(metric, option, widget);
        return metric == PM_TabBarTabHSpace ? std::min(value, kTabTextSpacing) : value;
    }
};

QString TranslateForm(const char* text) {
    return QCoreApplication::translate("Form", text);
}

// X does not order requests of two connections: until Qt's requests have reached the server,
// the renderer's connection may find the frame's window missing or still at its first size.
void FlushX11Connection() {
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 != nullptr && x11->display() != nullptr) {
        XSync(x11->display(), False);
    }
}

}  // namespace

Window::Window(const std::wstring& title, std::vector<std::shared_ptr<ITab>> tabs,
               IWindowListener* listener, UserEventQueue* eventQueue, const ContactInfo& contact)
    : QWidget(nullptr),
      m_tabs(std::move(tabs)),
      m_listener(listener),
      m_eventQueue(eventQueue),
      m_button(MouseEvent::kNoButton) {
    // Checked before anything is built, so that no page has been taken over when this throws.
    if (m_listener == nullptr) {
        ThrowException(EINVAL, L"Invalid parameter: !listener in Window::Window");
    }
    if (m_eventQueue == nullptr) {
        ThrowException(EINVAL, L"Invalid parameter: !eventQueue in Window::Window");
    }
    for (const std::shared_ptr<ITab>& tab : m_tabs) {
        if (!tab || tab->GetWidget() == nullptr) {
            ThrowException(EINVAL, L"Invalid parameter: !tab in Window::Window");
        }
    }
    BuildForm(title, contact);
    show();
    FlushX11Connection();
}

// The tabs are released before the QWidget base deletes the widget tree, so a tab that needs
// its page in its destructor still finds it.
Window::~Window() = default;

void Window::BuildForm(const std::wstring& title, const ContactInfo& contact) {
    setObjectName(QStringLiteral("Form"));
    resize(kWindowWidth, kWindowHeight);
    setMinimumSize(kWindowWidth, kWindowHeight);
    setMaximumSize(kWindowWidth, kWindowHeight);

    auto* horizontalLayout = new QHBoxLayout(this);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    horizontalLayout->setContentsMargins(kLayoutMargin, kLayoutMargin, kLayoutMargin,
                                         kLayoutMargin);
    horizontalLayout->setSpacing(kLayoutSpacing);

    auto* render = new RenderFrame(this);
    m_render = render;
    // winId() makes the frame (and the window above it) native now, before show(), so the id
    // is fixed for the window's life. The application keeps the other widgets non-native
    // (Qt::AA_DontCreateNativeWidgetSiblings); native siblings would cost one X window each.
    m_renderWindowId = static_cast<unsigned long>(render->winId());
    render->setObjectName(QStringLiteral("Render"));
    render->setEnabled(true);
    render->setMinimumSize(kRenderWidth, kRenderHeight);
    render->setMaximumSize(kRenderWidth, kRenderHeight);
    render->setSizeIncrement(0, 0);
    render->setLayoutDirection(Qt::LeftToRight);
    render->setFrameShape(QFrame::Panel);
    render->setFrameShadow(QFrame::Sunken);
    horizontalLayout->addWidget(render);

    auto* settings = new QWidget(this);
    settings->setObjectName(QStringLiteral("Settings"));
    QSizePolicy settingsPolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    settingsPolicy.setHorizontalStretch(1);
    settingsPolicy.setVerticalStretch(0);
    settingsPolicy.setHeightForWidth(settings->sizePolicy().hasHeightForWidth());
    settings->setSizePolicy(settingsPolicy);
    settings->setMinimumSize(kColumnWidth, kRenderHeight);
    settings->setMaximumSize(kColumnWidth, kRenderHeight);

    // The column is laid out rather than placed in pixels, so that the contact lines and the
    // pages get the room their fonts need; the tab widget takes the full width of the narrow
    // column and the height the contact box leaves.
    auto* columnLayout = new QVBoxLayout(settings);
    columnLayout->setContentsMargins(0, 0, 0, 0);
    columnLayout->setSpacing(kLayoutMargin);
    auto* tabWidget = new QTabWidget(settings);
    tabWidget->setObjectName(QStringLiteral("tabWidget"));
    columnLayout->addWidget(tabWidget, 1);
    // A child of the window made after the column, so it goes after the tab bar that uses it.
    auto* tabStyle = new NarrowTabStyle;
    tabStyle->setParent(this);
    tabWidget->tabBar()->setStyle(tabStyle);

    auto* groupBox = new QGroupBox(settings);
    groupBox->setObjectName(QStringLiteral("groupBox"));
    auto* contactLayout = new QVBoxLayout(groupBox);
    auto* label = new QLabel(groupBox);
    label->setObjectName(QStringLiteral("label"));
    auto* label_2 = new QLabel(groupBox);
    label_2->setObjectName(QStringLiteral("label_2"));
    auto* label_3 = new QLabel(groupBox);
    label_3->setObjectName(QStringLiteral("label_3"));
    for (QLabel* line : {label, label_2, label_3}) {
        contactLayout->addWidget(line);
    }
    columnLayout->addWidget(groupBox);
    horizontalLayout->addWidget(settings);

    setWindowTitle(QString::fromStdWString(title));
    groupBox->setTitle(TranslateForm("Contact"));
    label->setText(QString::fromStdWString(contact.author));
    label_2->setText(QString::fromStdWString(contact.email));
    label_3->setText(QString::fromStdWString(contact.web));
    tabWidget->setCurrentIndex(0);

    for (const std::shared_ptr<ITab>& tab : m_tabs) {
        QWidget* page = tab->GetWidget();
        page->setStyleSheet(QStringLiteral("background-color: rgb(240, 240, 240);"));
        tabWidget->addTab(page, QString());
        tabWidget->setTabText(tabWidget->indexOf(page), page->objectName());
    }
}

void Window::mouseMoveEvent(QMouseEvent* event) {
    const QPoint position = event->position().toPoint();
    m_previousX = m_x;
    m_previousY = m_y;
    m_x = position.x();
    m_y = position.y();
    m_dx = m_x - m_previousX;
    m_dy = m_y - m_previousY;

    const Qt::MouseButtons buttons = event->buttons();
    m_pressed = true;
    if (buttons.testFlag(Qt::LeftButton)) {
        m_button = MouseEvent::kLeftButton;
    } else if (buttons.testFlag(Qt::RightButton)) {
        m_button = MouseEvent::kRightButton;
    } else if (buttons.testFlag(Qt::MiddleButton)) {
        m_button = MouseEvent::kMiddleButton;
    } else {
        m_button = MouseEvent::kNoButton;
        m_pressed = false;
    }
    PostMouseRecord();
}

void Window::wheelEvent(QWheelEvent* event) {
    // Qt 6 reports both axes; the logic knows one delta, as a wheel has one axis. A tilt or
    // horizontal scroll still counts rather than arriving as a turn of 0.
    const QPoint angle = event->angleDelta();
    m_button = MouseEvent::kWheel;
    m_wheelDelta = angle.y() != 0 ? angle.y() : angle.x();
    PostMouseRecord();
}

void Window::mouseDoubleClickEvent(QMouseEvent* event) {
    // Only the render area: a double-click elsewhere (on the tab pages' background) has other
    // meanings for the user than "give me the start view back".
    if (event->button() != Qt::LeftButton ||
        !m_render->geometry().contains(event->position().toPoint())) {
        return;
    }
    m_button = MouseEvent::kDoubleClick;
    PostMouseRecord();
}

void Window::closeEvent(QCloseEvent* event) {
    // The threads must have stopped before the close is accepted: accepting ends the event
    // loop, and the run then destroys the render frame that the render thread draws into.
    m_listener->OnClose();
    event->accept();
}

void Window::PostMouseRecord() {
    m_eventQueue->Post(std::make_shared<MouseEvent>(m_x, m_y, m_previousX, m_previousY, m_dx, m_dy,
                                                    m_wheelDelta, m_pressed, m_button));
}

}  // namespace Quellon
