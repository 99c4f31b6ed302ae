// A STOW-RS and peer receiver that confirms every instance it is sent and
// stores nothing: the benchmarks compare senders against it, so that no
// receiver's storage sets the pace.
//
//   StowSink [port]     prints "listening PORT", then serves until killed.
//
// POST .../studies     confirms the SOP Instance UID of each part (read from
//                      the part's file meta information)
// GET  .../studies     "[]" (what a connection test asks for)
// POST /instances      the peer protocol: one plain DICOM file, answered with
//                      an ID that GET /instances/ID reads back
// GET  /system         a version (the peer protocol's connection test)
// GET  /instances      the UIDs received so far, as a JSON array

#include <Multipart.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace
{
  namespace beast = boost::beast;
  namespace http = boost::beast::http;
  using tcp = boost::asio::ip::tcp;

  std::mutex receivedMutex;
  std::vector<std::string> received;   // in order; a peer upload's ID is its position

  uint16_t ReadUint16(std::string_view data, size_t at)
  {
    return static_cast<uint16_t>(static_cast<uint8_t>(data[at]) | static_cast<uint8_t>(data[at + 1]) << 8);
  }

  uint32_t ReadUint32(std::string_view data, size_t at)
  {
    return ReadUint16(data, at) | static_cast<uint32_t>(ReadUint16(data, at + 2)) << 16;
  }

  // (0002,0003) of a Part-10 file: its meta group is always explicit VR little endian.
  std::optional<std::string> ReadMediaStorageSopInstanceUid(std::string_view file)
  {
    if (file.size() < 132 || file.substr(128, 4) != "DICM")
    {
      return std::nullopt;
    }

    size_t at = 132;
    while (at + 8 <= file.size() && ReadUint16(file, at) == 0x0002)
    {
      const uint16_t element = ReadUint16(file, at + 2);
      const std::string_view vr = file.substr(at + 4, 2);
      size_t length;
      size_t header;
      if (vr == "OB" || vr == "OW" || vr == "SQ" || vr == "UN" || vr == "UT" || vr == "UC" || vr == "UR")
      {
        if (at + 12 > file.size())
        {
          return std::nullopt;
        }
        length = ReadUint32(file, at + 8);
        header = 12;
      }
      else
      {
        length = ReadUint16(file, at + 6);
        header = 8;
      }

      if (at + header + length > file.size())
      {
        return std::nullopt;
      }
      if (element == 0x0003)
      {
        std::string uid(file.substr(at + header, length));
        while (!uid.empty() && (uid.back() == '\0' || uid.back() == ' '))
        {
          uid.pop_back();
        }
        return uid;
      }
      at += header + length;
    }
    return std::nullopt;
  }

  std::string Confirm(const std::vector<std::string>& uids)
  {
    std::string answer = "{\"00081199\":{\"vr\":\"SQ\",\"Value\":[";
    for (size_t i = 0; i < uids.size(); i++)
    {
      answer += (i == 0 ? "" : ",");
      answer += "{\"00081155\":{\"vr\":\"UI\",\"Value\":[\"" + uids[i] + "\"]}}";
    }
    return answer + "]}}";
  }

  http::response<http::string_body> Handle(const http::request_header<>& request, bool keepAlive, std::string_view body)
  {
    http::response<http::string_body> answer(http::status::ok, request.version());
    answer.keep_alive(keepAlive);
    const std::string_view target(request.target().data(), request.target().size());

    if (request.method() == http::verb::post && target.find("/studies") != std::string_view::npos)
    {
      const KestrumHost::ContentType contentType =
        KestrumHost::ParseContentType(std::string(request[http::field::content_type]));
      const auto boundary = contentType.parameters.find("boundary");
      std::vector<KestrumHost::MultipartPart> parts;
      std::string error;
      if (boundary == contentType.parameters.end() ||
          !KestrumHost::ParseMultipart(body, boundary->second, parts, error))
      {
        answer.result(http::status::bad_request);
        answer.prepare_payload();
        return answer;
      }
      std::vector<std::string> uids;
      for (const KestrumHost::MultipartPart& part : parts)
      {
        if (std::optional<std::string> uid = ReadMediaStorageSopInstanceUid(part.body))
        {
          uids.push_back(std::move(*uid));
        }
      }
      {
        std::lock_guard<std::mutex> lock(receivedMutex);
        received.insert(received.end(), uids.begin(), uids.end());
      }
      answer.set(http::field::content_type, "application/dicom+json");
      answer.body() = Confirm(uids);
    }
    else if (request.method() == http::verb::get && target.find("/studies") != std::string_view::npos)
    {
      answer.set(http::field::content_type, "application/dicom+json");
      answer.body() = "[]";
    }
    else if (request.method() == http::verb::post && target == "/instances")
    {
      const std::optional<std::string> uid = ReadMediaStorageSopInstanceUid(body);
      if (!uid || request.count(http::field::content_encoding) != 0)
      {
        answer.result(http::status::bad_request);   // gzip is not read here
        answer.prepare_payload();
        return answer;
      }
      std::string id;
      {
        std::lock_guard<std::mutex> lock(receivedMutex);
        id = std::to_string(received.size());
        received.push_back(*uid);
      }
      answer.set(http::field::content_type, "application/json");
      answer.body() = "{\"ID\":\"" + id + "\",\"Path\":\"/instances/" + id + "\",\"Status\":\"Success\"}";
    }
    else if (request.method() == http::verb::get && target.rfind("/instances/", 0) == 0)
    {
      const std::string id(target.substr(std::string_view("/instances/").size()));
      std::lock_guard<std::mutex> lock(receivedMutex);
      const size_t index = std::strtoul(id.c_str(), nullptr, 10);
      if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos || index >= received.size())
      {
        answer.result(http::status::not_found);
      }
      else
      {
        answer.set(http::field::content_type, "application/json");
        answer.body() = "{\"ID\":\"" + id + "\",\"MainDicomTags\":{\"SOPInstanceUID\":\"" + received[index] + "\"}}";
      }
    }
    else if (request.method() == http::verb::get && target == "/system")
    {
      answer.set(http::field::content_type, "application/json");
      answer.body() = "{\"Version\":\"sink\"}";
    }
    else if (request.method() == http::verb::get && target == "/instances")
    {
      std::lock_guard<std::mutex> lock(receivedMutex);
      std::string list = "[";
      for (size_t i = 0; i < received.size(); i++)
      {
        list += (i == 0 ? "\"" : ",\"") + received[i] + "\"";
      }
      answer.set(http::field::content_type, "application/json");
      answer.body() = list + "]";
    }
    else
    {
      answer.result(http::status::not_found);
    }
    answer.prepare_payload();
    return answer;
  }

  void Serve(tcp::socket socket)
  {
    beast::error_code error;
    socket.set_option(tcp::no_delay(true), error);
    beast::flat_buffer buffer;
    for (;;)
    {
      // Beast parses the header; the body goes straight from the socket into
      // one uninitialised buffer, so the sink costs one copy per byte.
      http::request_parser<http::empty_body> parser;
      parser.body_limit(std::numeric_limits<std::uint64_t>::max());
      http::read_header(socket, buffer, parser, error);
      if (error)
      {
        return;
      }

      const http::request_header<>& header = parser.get();
      const uint64_t length = parser.content_length().value_or(0);
      if (parser.chunked())
      {
        return;   // the senders measured here always give a Content-Length
      }

      std::unique_ptr<char[]> body(new char[length + 1]);
      const size_t buffered = std::min<size_t>(buffer.size(), length);
      boost::asio::buffer_copy(boost::asio::buffer(body.get(), buffered), buffer.data());
      buffer.consume(buffered);
      boost::asio::read(socket, boost::asio::buffer(body.get() + buffered, length - buffered), error);
      if (error)
      {
        return;
      }

      http::response<http::string_body> answer = Handle(header, parser.keep_alive(), std::string_view(body.get(), length));
      http::write(socket, answer, error);
      if (error || !answer.keep_alive())
      {
        return;
      }
    }
  }
}


int main(int argc, char* argv[])
{
  boost::asio::io_context context;
  const unsigned short port = static_cast<unsigned short>(argc > 1 ? std::atoi(argv[1]) : 0);
  tcp::acceptor acceptor(context, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  std::cout << "listening " << acceptor.local_endpoint().port() << std::endl;

  for (;;)
  {
    tcp::socket socket(context);
    acceptor.accept(socket);
    std::thread(Serve, std::move(socket)).detach();
  }
}
