// The window while device work runs. The work runs on the user-interface thread as before; the
// device link's waits call back here (the wait hook), and the window's events are delivered in
// those calls: it repaints, moves, resizes and answers its window manager. Input that could start
// something else is held off, so the work stays the only user of the link; the one live control is
// Cancel, which the work honours at its next safe point.
#pragma once

#include "device/Clock.h"

#include <QObject>
#include <QPointer>
#include <functional>

class QPushButton;
class QWidget;

class TDeviceActivity : public QObject {
  public:
    // Work shorter than this (a small read, a rename) finishes before anyone could notice a still
    // window: its waits deliver no events, so short commands run exactly as before. Later, events
    // are delivered at every slice of the link's waits, so no two deliveries are more than
    // 100 ms apart from the start of the work on.
    static constexpr int kQuietMs = 100 - kv::kWaitSliceMs;

    TDeviceActivity(QWidget* window, QPushButton* cancel);
    ~TDeviceActivity() override;

    // One device operation, nested ones counted; a cancellable one shows Cancel.
    void Begin(bool Cancellable);
    void End();
    bool Running() const { return depth_ > 0; }

    // The user asked to stop (Cancel, Escape, or closing the window): the work stops at its next
    // safe point, never inside a file.
    void AskCancel();
    bool CancelAsked() const { return cancelAsked_; }
    // Closing the window was asked for during the work: it closes when the work has ended.
    void AskClose();

    // Whether a timer tick may do its work now: always between operations; during one only while
    // a modal window that the work opened waits for the user, and then one tick at a time. Work
    // that runs inside a modal window (the editor's saves) keeps the link to itself: a tick then
    // would read the console between a command and its reply.
    bool TimersMayWork() const;
    // Marks a tick at work for the life of the object.
    class TimerWork {
      public:
        explicit TimerWork(TDeviceActivity& activity) : activity_(activity) {
            ++activity_.timerWork_;
        }
        ~TimerWork() { --activity_.timerWork_; }
        TimerWork(const TimerWork&) = delete;
        TimerWork& operator=(const TimerWork&) = delete;

      private:
        TDeviceActivity& activity_;
    };

    // Called when an outermost operation begins (the window starts its cancel state afresh) and
    // when Cancel is asked.
    std::function<void()> OnBegin, OnCancelAsked;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Serve();
    bool HeldOff(QObject* watched, QEvent* event);

    QWidget* window_;
    QPushButton* cancel_;
    // The modal window that was active when the outermost operation began.
    QPointer<QWidget> modalAtBegin_;
    int depth_ = 0;
    int timerWork_ = 0;
    bool cancellable_ = false;
    bool cancelAsked_ = false;
    bool closeAsked_ = false;
    int64_t startMs_ = 0;
};

// One device operation for the life of the object: the busy cursor, input held off, events
// delivered during its waits.
class TDeviceOperation {
  public:
    TDeviceOperation(TDeviceActivity& activity, bool Cancellable = false);
    ~TDeviceOperation();
    TDeviceOperation(const TDeviceOperation&) = delete;
    TDeviceOperation& operator=(const TDeviceOperation&) = delete;

  private:
    TDeviceActivity& activity_;
};
