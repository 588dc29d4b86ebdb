#pragma once

// The Start button: starts AppDirectory\AutoTorvane.exe --run-auto-torvane, waits (at most a
// little over 5 s) for app.pid to name a running process, then posts WM_CLOSE to the main window.
void LaunchApplication();
