// The connections the screen serves: at most ConnectionLimit at once, each on a thread of a fixed
// pool from the moment it is accepted; one more is answered 503 by the accepting thread at once
// and closed, never queued behind streams that stay open. A stop closes every connection still
// open, so that no wait of a browser's outlasts it.
#pragma once

#include "os/served_socket.h"

#include <httplib.h>

#include <atomic>

namespace Connections {

// The HTTP library's task queue (Server::new_task_queue): one task per accepted connection.
httplib::TaskQueue* newQueue();

// True on the accepting thread while it hands over a connection that is to be refused.
bool refusing();
// Answers 503 at once and lets the connection linger a moment for the peer to close its side.
void refuse(Os::ServedSocket::Native socket);

// A connection served: registered so that a stop can close it. False when the server is closing
// (finish it at once).
bool opened(Os::ServedSocket::Native socket);
// Unregisters and closes it, after its last response, in an orderly way.
void finish(Os::ServedSocket::Native socket);
// True when the peer of the connection this thread serves has closed its side: a browser that
// went, noticed without writing to it.
bool peerClosed();

// Set from closeAll until reopen: every wait on a connection ends.
const std::atomic<bool>& closing();
void closeAll();
void reopen();

} // namespace Connections
