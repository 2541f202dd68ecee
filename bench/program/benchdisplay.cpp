#include "benchdisplay.h"

#include <QDeadlineTimer>
#include <QThread>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <unistd.h>

namespace {

Display *xDisplay(void *display)
{
    return static_cast<Display *>(display);
}

// A window that went away between two requests is not an error worth ending the bench for.
int ignoreXErrors(Display *, XErrorEvent *)
{
    return 0;
}

} // namespace

BenchDisplay::BenchDisplay() = default;

BenchDisplay::~BenchDisplay()
{
    if (m_display)
        XCloseDisplay(xDisplay(m_display));
    for (QProcess *process : {m_tray.get(), m_xvfb.get()}) {
        if (!process)
            continue;
        process->terminate();
        if (!process->waitForFinished(2000))
            process->kill();
        process->waitForFinished(1000);
    }
}

bool BenchDisplay::open(QString *error)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && !(startXvfb(error) && startTray(error)))
        return false;
    XSetErrorHandler(ignoreXErrors);
    m_display = XOpenDisplay(nullptr);
    if (!m_display) {
        *error = QStringLiteral("can not open the display %1").arg(qEnvironmentVariable("DISPLAY"));
        return false;
    }
    // Without a tray the program only tells so and ends.
    Display *display = xDisplay(m_display);
    if (XGetSelectionOwner(display, XInternAtom(display, "_NET_SYSTEM_TRAY_S0", False)) == None) {
        *error = QStringLiteral("the display %1 has no system tray (without DISPLAY the bench "
                                "starts its own)")
                     .arg(qEnvironmentVariable("DISPLAY"));
        return false;
    }
    return true;
}

bool BenchDisplay::startXvfb(QString *error)
{
    // Xvfb picks a free display number and writes it to the descriptor given.
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        *error = QStringLiteral("no pipe for Xvfb");
        return false;
    }
    m_xvfb = std::make_unique<QProcess>();
    m_xvfb->setProgram(QStringLiteral("Xvfb"));
    m_xvfb->setArguments({QStringLiteral("-displayfd"), QString::number(pipeEnds[1]),
                          QStringLiteral("-screen"), QStringLiteral("0"),
                          QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                          QStringLiteral("tcp")});
    m_xvfb->setStandardOutputFile(QProcess::nullDevice());
    m_xvfb->setStandardErrorFile(QProcess::nullDevice());
    m_xvfb->start();
    close(pipeEnds[1]);
    QByteArray number;
    char c = 0;
    while (read(pipeEnds[0], &c, 1) == 1 && c != '\n')
        number.append(c);
    close(pipeEnds[0]);
    if (number.isEmpty()) {
        *error = QStringLiteral("Xvfb did not start");
        return false;
    }
    qputenv("DISPLAY", ":" + number);
    return true;
}

bool BenchDisplay::startTray(QString *error)
{
    m_tray = std::make_unique<QProcess>();
    m_tray->setProgram(QStringLiteral("trayer"));
    m_tray->setArguments({QStringLiteral("--expand"), QStringLiteral("false"),
                          QStringLiteral("--widthtype"), QStringLiteral("request"),
                          QStringLiteral("--align"), QStringLiteral("right")});
    m_tray->setStandardOutputFile(QProcess::nullDevice());
    m_tray->setStandardErrorFile(QProcess::nullDevice());
    m_tray->start();
    // The tray is there once somebody owns the tray selection of screen 0.
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        *error = QStringLiteral("can not open the private display");
        return false;
    }
    const Atom selection = XInternAtom(display, "_NET_SYSTEM_TRAY_S0", False);
    const QDeadlineTimer deadline(20000);
    bool owned = false;
    while (!(owned = XGetSelectionOwner(display, selection) != None) && !deadline.hasExpired() &&
           m_tray->state() != QProcess::NotRunning)
        QThread::msleep(50);
    XCloseDisplay(display);
    if (!owned)
        *error = QStringLiteral("the tray host did not start");
    return owned;
}

unsigned long BenchDisplay::shownWindowOf(qint64 pid) const
{
    Display *display = xDisplay(m_display);
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count))
        return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        Atom type = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char *data = nullptr;
        if (XGetWindowProperty(display, children[i], pidAtom, 0, 1, False, XA_CARDINAL, &type,
                               &format, &items, &after, &data) == Success &&
            data && items == 1 && format == 32 &&
            qint64(*reinterpret_cast<unsigned long *>(data)) == pid && isShown(children[i]))
            found = children[i];
        if (data)
            XFree(data);
    }
    if (children)
        XFree(children);
    return found;
}

bool BenchDisplay::isShown(unsigned long window) const
{
    XWindowAttributes attributes{};
    return XGetWindowAttributes(xDisplay(m_display), window, &attributes) &&
           attributes.map_state == IsViewable;
}

bool BenchDisplay::requestClose(unsigned long window) const
{
    Display *display = xDisplay(m_display);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const bool sent = XSendEvent(display, window, False, NoEventMask, &event) != 0;
    XFlush(display);
    return sent;
}
