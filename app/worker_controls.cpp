#include "app/worker_controls.h"

#include <commctrl.h>

void ApplyWorkerMessage(const WorkerControls& controls, const WorkerMessage& taken) {
    switch (taken.message) {
    case WM_APP_PROGRESS:
        SendMessageW(controls.progressBar, PBM_SETPOS, static_cast<WPARAM>(taken.percent), 0);
        break;
    case WM_APP_LOG:
        AppendLogLine(taken.text);
        break;
    case WM_APP_ENABLE_START:
        EnableWindow(controls.startButton, TRUE);
        break;
    case WM_APP_STATUS:
        SetWindowTextW(controls.statusLine, taken.text.c_str());
        break;
    }
}
