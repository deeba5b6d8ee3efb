#pragma once

namespace hoplin {

// Creates the application, its one session and main window, and runs the event loop.
int runApplication(int argc, char *argv[]);

} // namespace hoplin
