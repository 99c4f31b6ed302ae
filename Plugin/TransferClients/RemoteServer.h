#pragma once

#include "ITransferClient.h"

#include "../HostBridge/HostHttpClient.h"

#include <Enumerations.h>

#include <json/value.h>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace QuelbyCloud
{
  /** The cause in plain words of a request that the host's HTTP client could not complete. */
  RequestFailure DescribeRequestFailure(const HostBridge& host, const std::string& url,
                                        Kestrum::ErrorCode code, uint16_t httpStatus);


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
    RequestFailure lastFailure_;

  protected:
    // A protocol's own part of AddInstance and Send, called only before the batch was sent.
    virtual void Add(const std::string& sopInstanceUid, SharedFile dicomFile) = 0;
    virtual bool Deliver() = 0;
    virtual void ReserveBody(size_t /* instanceCount */, uint64_t /* totalBytes */) {}

    /**
     * A request to the root URL followed by the path: the client's own
     * headers first, then the configured ones, so that a configured header of
     * the same name (credentials, say) replaces the client's value.
     */
    HostHttpClient MakeRequest(KestrumHttpMethod method, const std::string& path, const Headers& ownHeaders = {}) const;

    /**
     * Performs the request into a JSON answer; empty (never thrown) when the
     * host or the answer fails, whose cause is then the last failure.
     */
    std::optional<Json::Value> TryExecuteJson(HostHttpClient& request);

    /** The same for a request made on another thread: the cause goes to the given failure. */
    std::optional<Json::Value> TryExecuteJson(HostHttpClient& request, RequestFailure& failure) const;

    /** Records an answer that came back but says something else than expected. */
    void SetFailure(const std::string& cause, bool permanent = false);

    const RequestFailure& GetLastFailure() const { return lastFailure_; }

    /**
     * None of these instances was confirmed: all are refused for good when
     * the last failure says so, else the attempt failed with its cause (or
     * the one given).
     */
    void FailAll(const std::set<std::string>& uids, const std::string& cause = "");

    /** Filled by Deliver. */
    DeliveryReport report_;

  public:
    /** The root URL is kept without its trailing slashes. */
    RemoteServer(const HostBridge& host, const std::string& rootUrl, const Headers& headers);

    const std::string& GetRootUrl() const { return rootUrl_; }
    const Headers& GetHeaders() const { return headers_; }

    void Reserve(size_t instanceCount, uint64_t totalBytes) final { ReserveBody(instanceCount, totalBytes); }
    void AddInstance(const std::string& sopInstanceUid, std::string_view dicomFile) final;
    void AddInstance(const std::string& sopInstanceUid, SharedFile dicomFile) final;
    bool Send() final;
    const DeliveryReport& GetReport() const final { return report_; }
    const std::string& GetFailureCause() const final { return lastFailure_.cause; }
  };
}
