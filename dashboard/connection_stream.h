// One accepted connection as the HTTP library's Stream: buffered reads, and waits that end at
// their limit or as soon as the server closes its connections for a stop.
#pragma once

#include "os/served_socket.h"

#include <httplib.h>

#include <array>
#include <atomic>
#include <cstdint>

class ConnectionStream final : public httplib::Stream {
  public:
    // A request's head must arrive, and a stream must take bytes, within this.
    static constexpr uint32_t LimitMs = 5000;
    // What a connection may send in all: a GET's head is far smaller, and the HTTP library caps
    // each header line but not their number.
    static constexpr size_t RequestLimit = 64 * 1024;

    ConnectionStream(Os::ServedSocket::Native socket, const std::atomic<bool>& closing);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* bytes, size_t size) override;
    ssize_t write(const char* bytes, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override;

  private:
    bool ready(bool forWriting) const;

    Os::ServedSocket::Native socket_;
    const std::atomic<bool>& closing_;
    std::array<char, 4096> buffer_{};
    size_t begin_ = 0;
    size_t end_ = 0;
    size_t received_ = 0;
};
