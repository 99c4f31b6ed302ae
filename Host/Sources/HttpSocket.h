#pragma once

#include <cstddef>
#include <string>

#include <sys/types.h>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace KestrumHost
{
  /**
   * One accepted connection, plain or TLS, on a non-blocking descriptor:
   * every wait is bounded by a timeout, so that a silent client never holds
   * a thread for good. Owns (and closes) the descriptor.
   */
  class HttpSocket
  {
  private:
    int fd_;
    SSL* ssl_ = nullptr;

    /** Waits until the descriptor is ready; false on timeout or error. */
    bool Wait(short events, int timeoutMs) const;

    /** After a TLS call that did not complete: true when it may be tried again
        (it waited for the socket it wants), else the error of `error`. */
    bool RetryTls(int result, int timeoutMs, int& error) const;

  public:
    /** With a TLS context, the connection speaks TLS once Handshake() succeeded. */
    HttpSocket(int fd, SSL_CTX* tls);
    ~HttpSocket();

    HttpSocket(const HttpSocket&) = delete;
    HttpSocket& operator=(const HttpSocket&) = delete;

    bool Handshake(int timeoutMs);

    /** Some bytes (> 0), 0 at the end of the stream, -1 on an error or timeout. */
    ssize_t Read(char* data, size_t size, int timeoutMs);

    /** True when bytes are there to be read within the time (or the peer closed). */
    bool WaitReadable(int timeoutMs) const;

    /**
     * Ends the sending side, then reads and drops what the client still
     * sends, until it closes or for at most `timeoutMs`: closing with unread
     * bytes would reset the connection, and a client still sending a body
     * that was refused would lose the answer.
     */
    void Linger(int timeoutMs);

    /** Writes both buffers whole, in one system call where possible. */
    bool Write(const std::string& head, const char* body, size_t bodySize, int timeoutMs);
  };
}
