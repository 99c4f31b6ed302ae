#include "HttpSocket.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace KestrumHost
{
  HttpSocket::HttpSocket(int fd, SSL_CTX* tls) :
    fd_(fd)
  {
    if (tls != nullptr)
    {
      ssl_ = SSL_new(tls);
      if (ssl_ != nullptr)
      {
        SSL_set_fd(ssl_, fd_);
      }
    }
  }

  HttpSocket::~HttpSocket()
  {
    if (ssl_ != nullptr)
    {
      SSL_free(ssl_);
    }
    close(fd_);
  }

  bool HttpSocket::Wait(short events, int timeoutMs) const
  {
    pollfd entry{fd_, events, 0};
    for (;;)
    {
      int ready = poll(&entry, 1, timeoutMs);
      if (ready > 0)
      {
        return true;
      }
      if (ready == 0 || errno != EINTR)
      {
        return false;
      }
    }
  }

  bool HttpSocket::RetryTls(int result, int timeoutMs, int& error) const
  {
    error = SSL_get_error(ssl_, result);
    if ((error == SSL_ERROR_WANT_READ && Wait(POLLIN, timeoutMs)) ||
        (error == SSL_ERROR_WANT_WRITE && Wait(POLLOUT, timeoutMs)))
    {
      return true;
    }
    ERR_clear_error();
    return false;
  }

  bool HttpSocket::WaitReadable(int timeoutMs) const
  {
    if (ssl_ != nullptr && SSL_pending(ssl_) > 0)
    {
      return true;
    }
    return Wait(POLLIN, timeoutMs);
  }

  bool HttpSocket::Handshake(int timeoutMs)
  {
    if (ssl_ == nullptr)
    {
      return false;
    }
    for (;;)
    {
      int result = SSL_accept(ssl_);
      if (result == 1)
      {
        return true;
      }
      int error = 0;
      if (RetryTls(result, timeoutMs, error))
      {
        continue;
      }
      return false;
    }
  }

  ssize_t HttpSocket::Read(char* data, size_t size, int timeoutMs)
  {
    for (;;)
    {
      if (ssl_ == nullptr)
      {
        ssize_t n = recv(fd_, data, size, 0);
        if (n >= 0)
        {
          return n;
        }
        if (errno == EINTR)
        {
          continue;
        }
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && Wait(POLLIN, timeoutMs))
        {
          continue;
        }
        return -1;
      }

      size_t read = 0;
      int result = SSL_read_ex(ssl_, data, size, &read);
      if (result == 1)
      {
        return static_cast<ssize_t>(read);
      }
      int error = 0;
      if (RetryTls(result, timeoutMs, error))
      {
        continue;
      }
      // A peer that closes without a TLS goodbye ends the stream all the same.
      return (error == SSL_ERROR_ZERO_RETURN || error == SSL_ERROR_SYSCALL) ? 0 : -1;
    }
  }

  void HttpSocket::Linger(int timeoutMs)
  {
    if (ssl_ != nullptr)
    {
      SSL_shutdown(ssl_);   // the TLS goodbye; whatever follows is dropped unread
      ERR_clear_error();
    }
    shutdown(fd_, SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char scratch[64 * 1024];
    for (;;)
    {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !Wait(POLLIN, static_cast<int>(left)))
      {
        return;
      }
      ssize_t n = recv(fd_, scratch, sizeof(scratch), 0);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
      {
        return;
      }
    }
  }

  bool HttpSocket::Write(const std::string& head, const char* body, size_t bodySize, int timeoutMs)
  {
    size_t headSent = 0;
    size_t bodySent = 0;
    while (headSent < head.size() || bodySent < bodySize)
    {
      ssize_t n;
      if (ssl_ == nullptr)
      {
        iovec parts[2];
        int count = 0;
        if (headSent < head.size())
        {
          parts[count++] = {const_cast<char*>(head.data() + headSent), head.size() - headSent};
        }
        if (bodySent < bodySize)
        {
          parts[count++] = {const_cast<char*>(body + bodySent), bodySize - bodySent};
        }
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = static_cast<size_t>(count);
        n = sendmsg(fd_, &message, MSG_NOSIGNAL);
        if (n < 0)
        {
          if (errno == EINTR || ((errno == EAGAIN || errno == EWOULDBLOCK) && Wait(POLLOUT, timeoutMs)))
          {
            continue;
          }
          return false;
        }
      }
      else
      {
        const bool inHead = headSent < head.size();
        const char* data = inHead ? head.data() + headSent : body + bodySent;
        size_t size = inHead ? head.size() - headSent : bodySize - bodySent;
        size_t written = 0;
        int result = SSL_write_ex(ssl_, data, size, &written);
        if (result != 1)
        {
          int error = 0;
          if (RetryTls(result, timeoutMs, error))
          {
            continue;
          }
          return false;
        }
        n = static_cast<ssize_t>(written);
      }

      size_t sent = static_cast<size_t>(n);
      size_t toHead = std::min(sent, head.size() - headSent);
      headSent += toHead;
      bodySent += sent - toHead;
    }
    return true;
  }
}
