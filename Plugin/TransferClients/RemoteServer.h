#pragma once

#include "ITransferClient.h"

#include "../HostBridge/HostHttpClient.h"

#include <json/value.h>
#include <map>
#include <optional>
#include <string>

namespace QuelbyCloud
{
  /**
   * What every transfer client shares: the server's root URL and configured
   * headers, the requests built from them, and the rule that a client serves
   * one batch only.
   */
  class RemoteServer : public ITransferClient
  {
  public:
    using Headers = std::map<std::string, std::string>;

  private:
    const HostBridge& host_;
    std::string rootUrl_;
    Headers headers_;
    bool sent_ = false;

  protected:
    // A protocol's own part of AddInstance and Send, called only before the batch was sent.
    virtual void Add(const std::string& sopInstanceUid, const std::string& dicomFile) = 0;
    virtual bool Deliver() = 0;

    /**
     * A request to the root URL followed by the path: the client's own
     * headers first, then the configured ones, so that a configured header of
     * the same name (credentials, say) replaces the client's value.
     */
    HostHttpClient MakeRequest(KestrumHttpMethod method, const std::string& path, const Headers& ownHeaders = {}) const;

    /** Performs the request into a JSON answer; empty (never thrown) when the host or the answer fails. */
    static std::optional<Json::Value> TryExecuteJson(HostHttpClient& request);

  public:
    /** The root URL is kept without its trailing slashes. */
    RemoteServer(const HostBridge& host, const std::string& rootUrl, const Headers& headers);

    const std::string& GetRootUrl() const { return rootUrl_; }
    const Headers& GetHeaders() const { return headers_; }

    void AddInstance(const std::string& sopInstanceUid, const std::string& dicomFile) final;
    bool Send() final;
  };
}
