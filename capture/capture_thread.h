// The thread that takes a capture's datagrams off its ring and hands them to the segment writer.
// It starts the receive thread first, and ends by itself once the capture stops running or the
// thread is asked to stop.
#pragma once

#include "capture/capture.h"
#include "gantry/mt/thread.h"

namespace Corvid::Capture {

class Capture::CaptureThread : public Gantry::MT::Thread {
  public:
    // capture must outlive the thread.
    explicit CaptureThread(Capture& capture) : capture_(capture) {}
    ~CaptureThread() override;

  protected:
    void run() override;
    // Ends the pause of a thread waiting for data.
    void wake() override;

  private:
    Capture& capture_;
};

}  // namespace Corvid::Capture
