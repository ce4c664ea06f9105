#pragma once

#include <functional>

// Runs work on a thread of its own while the calling thread runs a local
// event loop, and returns its result once it is done: long work (hashing or
// flushing a large file) leaves the window alive meanwhile. Owner code may
// run in those events; the work must not touch what it may change. When the
// application is asked to end meanwhile, the work is still waited for.
bool wuRunBesideEvents(const std::function<bool()>& work);
