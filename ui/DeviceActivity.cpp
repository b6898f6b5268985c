#include "DeviceActivity.h"

#include "device/Clock.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

namespace {

bool Within(const QObject* object, const QObject* ancestor) {
    for (; object; object = object->parent())
        if (object == ancestor) return true;
    return false;
}

// Events by which the user could start something: keys, clicks, shortcuts, menus, drops.
bool IsUserInput(QEvent::Type type) {
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::InputMethod:
        return true;
    default:
        return false;
    }
}

// The widget an input event is for. The filter sees many events first at the top-level window
// (the platform delivers them there before Qt routes them on): a click belongs to the widget
// under the pointer, a key to the focus widget.
const QObject* TargetOf(QObject* watched, QEvent* event) {
    if (!watched->isWindowType()) return watched;
    if (auto* pointer = dynamic_cast<QSinglePointEvent*>(event))
        if (QWidget* under = QApplication::widgetAt(pointer->globalPosition().toPoint()))
            return under;
    if (dynamic_cast<QKeyEvent*>(event))
        if (QWidget* focus = QApplication::focusWidget()) return focus;
    return watched;
}

} // namespace

TDeviceActivity::TDeviceActivity(QWidget* window, QPushButton* cancel)
    : QObject(window), window_(window), cancel_(cancel) {
    QSizePolicy policy = cancel_->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    cancel_->setSizePolicy(policy);
    cancel_->hide();
    connect(cancel_, &QPushButton::clicked, this, [this] { AskCancel(); });
    qApp->installEventFilter(this);
}

TDeviceActivity::~TDeviceActivity() {
    if (depth_ > 0) kv::SetWaitHook({});
}

void TDeviceActivity::Begin(bool Cancellable) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (depth_++ == 0) {
        startMs_ = kv::Clock().NowMs();
        modalAtBegin_ = QApplication::activeModalWidget();
        cancelAsked_ = false;
        cancellable_ = false;
        kv::SetWaitHook([this] { Serve(); });
        if (OnBegin) OnBegin();
    }
    if (Cancellable && !cancellable_) {
        cancellable_ = true;
        cancel_->setText("Cancel");
        cancel_->setEnabled(true);
        cancel_->show();
    }
}

void TDeviceActivity::End() {
    QApplication::restoreOverrideCursor();
    if (--depth_ > 0) return;
    kv::SetWaitHook({});
    cancel_->hide();
    cancellable_ = false;
    cancelAsked_ = false;
    if (closeAsked_) {
        closeAsked_ = false;
        QTimer::singleShot(0, window_, [window = window_] { window->close(); });
    }
}

void TDeviceActivity::AskCancel() {
    if (depth_ == 0 || !cancellable_ || cancelAsked_) return;
    cancelAsked_ = true;
    cancel_->setText("Cancelling...");
    cancel_->setEnabled(false);
    if (OnCancelAsked) OnCancelAsked();
}

void TDeviceActivity::AskClose() {
    if (depth_ == 0) return;
    closeAsked_ = true;
    AskCancel();
}

bool TDeviceActivity::TimersMayWork() const {
    if (depth_ == 0) return true;
    const QWidget* modal = QApplication::activeModalWidget();
    return modal != nullptr && modal != modalAtBegin_ && timerWork_ == 0;
}

void TDeviceActivity::Serve() {
    if (depth_ == 0 || kv::Clock().NowMs() - startMs_ < kQuietMs) return;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool TDeviceActivity::HeldOff(QObject* watched, QEvent* event) {
    if (depth_ == 0 || !IsUserInput(event->type())) return false;
    const QObject* target = TargetOf(watched, event);
    // A question box or dialog that the work opened waits for the user: it takes its input.
    if (const QWidget* modal = QApplication::activeModalWidget(); modal && Within(target, modal))
        return false;
    if (cancellable_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        AskCancel();
        return true;
    }
    if (Within(target, cancel_) && !cancel_->isHidden() && cancel_->isEnabled()) return false;
    return true;
}

bool TDeviceActivity::eventFilter(QObject* watched, QEvent* event) {
    if (HeldOff(watched, event)) {
        event->accept(); // taken here: no parent gets it either
        return true;
    }
    return QObject::eventFilter(watched, event);
}

TDeviceOperation::TDeviceOperation(TDeviceActivity& activity, bool Cancellable)
    : activity_(activity) {
    activity_.Begin(Cancellable);
}

TDeviceOperation::~TDeviceOperation() {
    activity_.End();
}
