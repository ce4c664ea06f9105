#pragma once

class TApplication;

// The program's application object, for tests that run inside it rather than
// the shared test main, so that errors really travel through its notify().
extern TApplication* gApp;
