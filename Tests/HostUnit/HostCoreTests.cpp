// The host core used in-process, on a temporary storage: the built-in REST API
// and the DICOMweb service as the HTTP server and the plug-ins' services reach them.

#include "HostCore.h"
#include "UriDecoding.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <SystemToolbox.h>
#include <Toolbox.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <unistd.h>

using namespace KestrumHost;

namespace
{
  std::string MakeTemporaryDirectory()
  {
    char pattern[] = "/tmp/host-unit-XXXXXX";
    const char* created = mkdtemp(pattern);
    if (created == nullptr)
    {
      throw std::runtime_error("mkdtemp failed");
    }
    return created;
  }

  /** A small Part 10 file written by DCMTK; an empty SOP Instance UID leaves the tag out. */
  std::string MakeDicom(const std::string& patient, const std::string& study, const std::string& series,
                        const std::string& sop, const std::string& directory,
                        E_TransferSyntax syntax = EXS_LittleEndianExplicit, const std::string& comments = "")
  {
    DcmFileFormat file;
    DcmDataset* dataset = file.getDataset();
    dataset->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
    if (!sop.empty())
    {
      dataset->putAndInsertString(DCM_SOPInstanceUID, sop.c_str());
    }
    dataset->putAndInsertString(DCM_PatientID, patient.c_str());
    dataset->putAndInsertString(DCM_PatientName, "Doe^Jane");
    dataset->putAndInsertString(DCM_StudyInstanceUID, study.c_str());
    dataset->putAndInsertString(DCM_SeriesInstanceUID, series.c_str());
    dataset->putAndInsertString(DCM_Modality, "OT");
    if (!comments.empty())
    {
      dataset->putAndInsertString(DCM_ImageComments, comments.c_str());
    }
    std::string path = directory + "/made.dcm";
    if (file.saveFile(path.c_str(), syntax).bad())
    {
      throw std::runtime_error("Cannot write a test file");
    }
    std::string content;
    Kestrum::ReadWholeFile(content, path);
    unlink(path.c_str());
    return content;
  }

  Json::Value ParseJson(const std::string& text)
  {
    std::optional<Json::Value> value = Kestrum::Toolbox::ReadJson(text);
    if (!value)
    {
      ADD_FAILURE() << "Not JSON: " << text;
      return Json::Value();
    }
    return *value;
  }

  class HostCoreTest : public ::testing::Test
  {
  protected:
    std::string directory_;
    std::unique_ptr<HostCore> core_;

    void SetUp() override
    {
      directory_ = MakeTemporaryDirectory();
      Open();
    }

    void TearDown() override
    {
      core_.reset();
      std::string command = "rm -rf '" + directory_ + "'";
      EXPECT_EQ(0, std::system(command.c_str()));
    }

    void Open()
    {
      core_.reset();
      HostConfig config = HostConfig::Parse(
        "{ \"StorageDirectory\": \"" + directory_ + "/storage\", \"DicomWeb\": {\"Enable\": true, \"Root\": \"/dicom-web\"} }");
      core_ = std::make_unique<HostCore>(config);
    }

    RestAnswer Call(KestrumHttpMethod method, const std::string& uri, const std::string& body = "",
                    const std::string& contentType = "", bool withPlugins = false, bool wantsBlock = false)
    {
      RestRequest request;
      request.method = method;
      request.wantsBlock = wantsBlock;
      ParseUri(uri, request);
      request.body = body;
      if (!contentType.empty())
      {
        request.headers.emplace_back("content-type", contentType);
      }
      RestAnswer answer;
      core_->HandleRest(request, withPlugins, answer);
      return answer;
    }

    std::string Upload(const std::string& bytes, const std::string& expectedStatus)
    {
      RestAnswer answer = Call(KestrumHttpMethod_Post, "/instances", bytes);
      EXPECT_EQ(200, answer.status) << answer.body;
      Json::Value json = ParseJson(answer.body);
      EXPECT_EQ(expectedStatus, json["Status"].asString());
      return json["ID"].asString();
    }
  };
}

// DCMTK reads a long value later, from a second stream at the value's place:
// in a deflated file that place counts inflated bytes, not the file's.
TEST_F(HostCoreTest, LongValuesOfDeflatedFilesAreInTheirMetadata)
{
  const std::string comments(6000, 'c');
  Upload(MakeDicom("P", "1.9", "1.9.1", "1.9.1.1", directory_, EXS_LittleEndianExplicit, comments), "Success");
  Upload(MakeDicom("P", "1.9", "1.9.1", "1.9.1.2", directory_, EXS_DeflatedLittleEndianExplicit, comments), "Success");
  Json::Value described = ParseJson(Call(KestrumHttpMethod_Get, "/dicom-web/studies/1.9/metadata", "", "", true).body);
  ASSERT_EQ(2u, described.size());
  for (const Json::Value& instance : described)
  {
    EXPECT_EQ(comments, instance["00204000"]["Value"][0].asString()) << instance["00080018"]["Value"][0].asString();
  }
}

TEST_F(HostCoreTest, StoredFilesComeBackUnchangedAndChangesArePagedInOrder)
{
  std::string a = MakeDicom("P1", "1.2.1", "1.2.1.1", "1.2.1.1.1", directory_);
  std::string b = MakeDicom("P1", "1.2.1", "1.2.1.1", "1.2.1.1.2", directory_);
  std::string c = MakeDicom("P1", "1.2.1", "1.2.1.2", "1.2.1.2.1", directory_);
  std::vector<std::string> ids{Upload(a, "Success"), Upload(b, "Success"), Upload(c, "Success")};
  EXPECT_EQ(ids[0], Upload(a, "AlreadyStored"));

  RestAnswer file = Call(KestrumHttpMethod_Get, "/instances/" + ids[1] + "/file");
  EXPECT_EQ(200, file.status);
  EXPECT_EQ("application/dicom", file.contentType);
  EXPECT_EQ(b, file.body);
  // A plug-in's call takes the file in the block it was read into.
  RestAnswer block = Call(KestrumHttpMethod_Get, "/instances/" + ids[1] + "/file", "", "", false, true);
  EXPECT_EQ(200, block.status);
  EXPECT_TRUE(block.body.empty());
  ASSERT_TRUE(block.block.data);
  EXPECT_EQ(b, std::string(block.block.data.get(), block.block.size));

  Json::Value description = ParseJson(Call(KestrumHttpMethod_Get, "/instances/" + ids[2]).body);
  EXPECT_EQ("Instance", description["Type"].asString());
  EXPECT_EQ("1.2.1.2.1", description["MainDicomTags"]["SOPInstanceUID"].asString());
  EXPECT_EQ(static_cast<int64_t>(c.size()), description["FileSize"].asInt64());

  // Follow "Last" with small pages, as the plug-in's scan does.
  std::vector<std::string> newInstances;
  std::multiset<std::string> types;
  uint64_t since = 0;
  for (int pages = 0; pages < 20; pages++)
  {
    Json::Value page = ParseJson(Call(KestrumHttpMethod_Get, "/changes?limit=2&since=" + std::to_string(since)).body);
    ASSERT_LE(page["Changes"].size(), 2u);
    for (const Json::Value& change : page["Changes"])
    {
      EXPECT_GT(change["Seq"].asUInt64(), since);
      types.insert(change["ChangeType"].asString());
      if (change["ChangeType"].asString() == "NewInstance")
      {
        newInstances.push_back(change["ID"].asString());
      }
    }
    since = page["Last"].asUInt64();
    if (page["Done"].asBool())
    {
      break;
    }
  }
  EXPECT_EQ(ids, newInstances);  // the re-upload recorded nothing
  EXPECT_EQ(1u, types.count("NewPatient"));
  EXPECT_EQ(1u, types.count("NewStudy"));
  EXPECT_EQ(2u, types.count("NewSeries"));
  EXPECT_EQ(7u, since);

  Json::Value beyond = ParseJson(Call(KestrumHttpMethod_Get, "/changes?since=100").body);
  EXPECT_TRUE(beyond["Done"].asBool());
  EXPECT_EQ(7, beyond["Last"].asInt64());
  EXPECT_EQ(400, Call(KestrumHttpMethod_Get, "/changes?since=-1").status);
}

TEST_F(HostCoreTest, BodiesThatAreNotUsableDicomStoreNothing)
{
  RestAnswer text = Call(KestrumHttpMethod_Post, "/instances", "hello, this is not DICOM at all");
  EXPECT_EQ(400, text.status);
  EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, text.errorCode);
  RestAnswer noUid = Call(KestrumHttpMethod_Post, "/instances", MakeDicom("P", "1.2", "1.2.3", "", directory_));
  EXPECT_EQ(400, noUid.status);

  EXPECT_EQ(0u, ParseJson(Call(KestrumHttpMethod_Get, "/instances").body).size());
  Json::Value changes = ParseJson(Call(KestrumHttpMethod_Get, "/changes").body);
  EXPECT_EQ(0u, changes["Changes"].size());
  EXPECT_TRUE(changes["Done"].asBool());
  EXPECT_EQ(0, changes["Last"].asInt64());
}

TEST_F(HostCoreTest, MetadataAndDeletion)
{
  std::string id = Upload(MakeDicom("P", "1.3", "1.3.1", "1.3.1.1", directory_), "Success");
  std::string uri = "/instances/" + id + "/metadata/4455";

  EXPECT_EQ(Kestrum::ErrorCode_InexistentItem, Call(KestrumHttpMethod_Get, uri).errorCode);
  EXPECT_EQ(404, Call(KestrumHttpMethod_Get, uri).status);
  RestAnswer put = Call(KestrumHttpMethod_Put, uri, "0f8fad5b-d9cb-469f-a165-70867728950e");
  EXPECT_EQ(200, put.status);
  EXPECT_TRUE(put.body.empty() || ParseJson(put.body).isObject());
  EXPECT_EQ("0f8fad5b-d9cb-469f-a165-70867728950e", Call(KestrumHttpMethod_Get, uri).body);
  Json::Value keys = ParseJson(Call(KestrumHttpMethod_Get, "/instances/" + id + "/metadata").body);
  ASSERT_EQ(1u, keys.size());
  EXPECT_EQ("4455", keys[0].asString());
  EXPECT_EQ(400, Call(KestrumHttpMethod_Put, "/instances/" + id + "/metadata/12", "x").status);
  EXPECT_EQ(404, Call(KestrumHttpMethod_Put, "/instances/nope/metadata/4455", "x").status);

  EXPECT_EQ(200, Call(KestrumHttpMethod_Delete, "/instances/" + id).status);
  EXPECT_EQ(Kestrum::ErrorCode_UnknownResource, Call(KestrumHttpMethod_Get, "/instances/" + id).errorCode);
  EXPECT_EQ(404, Call(KestrumHttpMethod_Get, "/instances/" + id + "/file").status);
  EXPECT_EQ(404, Call(KestrumHttpMethod_Get, "/instances/" + id + "/file", "", "", false, true).status);
  EXPECT_EQ(404, Call(KestrumHttpMethod_Get, uri).status);
  EXPECT_EQ(404, Call(KestrumHttpMethod_Delete, "/instances/" + id).status);

  Json::Value changes = ParseJson(Call(KestrumHttpMethod_Get, "/changes?since=4").body);
  ASSERT_EQ(1u, changes["Changes"].size());
  EXPECT_EQ("Deleted", changes["Changes"][0]["ChangeType"].asString());
  EXPECT_EQ(id, changes["Changes"][0]["ID"].asString());

  // A re-upload after deletion is a new store again.
  EXPECT_EQ(id, Upload(MakeDicom("P", "1.3", "1.3.1", "1.3.1.1", directory_), "Success"));
}

TEST_F(HostCoreTest, WrongMethodsAnswer405WithAllow)
{
  RestAnswer answer = Call(KestrumHttpMethod_Put, "/changes", "x");
  EXPECT_EQ(405, answer.status);
  ASSERT_EQ(1u, answer.headers.size());
  EXPECT_EQ("Allow", answer.headers[0].first);
  EXPECT_EQ("GET", answer.headers[0].second);
  EXPECT_EQ(Kestrum::ErrorCode_UnknownResource, Call(KestrumHttpMethod_Get, "/no/such/thing").errorCode);
}

TEST_F(HostCoreTest, PeersNeverRevealHeaderValuesAndPersist)
{
  EXPECT_EQ(400, Call(KestrumHttpMethod_Put, "/peers/cloud", "{\"HttpHeaders\": {}}").status);
  EXPECT_EQ(400, Call(KestrumHttpMethod_Put, "/peers/cloud", "{\"Url\": \"https://x\", \"HttpHeaders\": {\"A\": 1}}").status);
  RestAnswer put = Call(KestrumHttpMethod_Put, "/peers/cloud",
                        "{\"Url\": \"https://cloud.example\", \"HttpHeaders\": {\"Authorization\": \"Basic c2VjcmV0\"}}");
  EXPECT_EQ(200, put.status);
  EXPECT_TRUE(ParseJson(put.body).isObject());

  Open();  // the registry survives a restart
  RestAnswer get = Call(KestrumHttpMethod_Get, "/peers/cloud");
  EXPECT_EQ(200, get.status);
  EXPECT_EQ(std::string::npos, get.body.find("c2VjcmV0"));
  Json::Value peer = ParseJson(get.body);
  EXPECT_EQ("https://cloud.example", peer["Url"].asString());
  EXPECT_EQ("Authorization", peer["HttpHeaders"][0].asString());
  EXPECT_EQ("cloud", ParseJson(Call(KestrumHttpMethod_Get, "/peers").body)[0].asString());

  EXPECT_EQ(200, Call(KestrumHttpMethod_Delete, "/peers/cloud").status);
  EXPECT_EQ(404, Call(KestrumHttpMethod_Get, "/peers/cloud").status);
  EXPECT_EQ(404, Call(KestrumHttpMethod_Delete, "/peers/cloud").status);
}

TEST_F(HostCoreTest, StowStoresGoodPartsAndReportsBadOnes)
{
  std::string one = MakeDicom("P", "1.4", "1.4.1", "1.4.1.1", directory_);
  std::string two = MakeDicom("P", "1.4", "1.4.1", "1.4.1.2", directory_);
  auto multipart = [](const std::vector<std::string>& bodies)
  {
    std::string body;
    for (const std::string& part : bodies)
    {
      body += "--XX\r\nContent-Type: application/dicom\r\n\r\n" + part + "\r\n";
    }
    return body + "--XX--\r\n";
  };
  const std::string type = "multipart/related; type=\"application/dicom\"; boundary=XX";

  RestAnswer mixed = Call(KestrumHttpMethod_Post, "/dicom-web/studies", multipart({one, "not dicom", two}), type, true);
  EXPECT_EQ(202, mixed.status);
  Json::Value response = ParseJson(mixed.body);
  ASSERT_EQ(2u, response["00081199"]["Value"].size());
  EXPECT_EQ("1.4.1.1", response["00081199"]["Value"][0]["00081155"]["Value"][0].asString());
  EXPECT_EQ("1.4.1.2", response["00081199"]["Value"][1]["00081155"]["Value"][0].asString());
  ASSERT_EQ(1u, response["00081198"]["Value"].size());
  EXPECT_TRUE(response["00081198"]["Value"][0].isMember("00081197"));

  EXPECT_EQ(200, Call(KestrumHttpMethod_Post, "/dicom-web/studies", multipart({one, two}), type, true).status);
  EXPECT_EQ(409, Call(KestrumHttpMethod_Post, "/dicom-web/studies", multipart({"bad"}), type, true).status);
  EXPECT_EQ(415, Call(KestrumHttpMethod_Post, "/dicom-web/studies", one, "application/dicom", true).status);
  EXPECT_EQ(400, Call(KestrumHttpMethod_Post, "/dicom-web/studies", "no parts", type, true).status);
  EXPECT_EQ(2u, ParseJson(Call(KestrumHttpMethod_Get, "/instances").body).size());

  // The service is reached only "with plug-ins", like plug-in routes.
  EXPECT_EQ(404, Call(KestrumHttpMethod_Post, "/dicom-web/studies", multipart({one}), type, false).status);
}

TEST_F(HostCoreTest, QidoListsStudiesAndHonoursLimit)
{
  Upload(MakeDicom("P", "1.5", "1.5.1", "1.5.1.1", directory_), "Success");
  Upload(MakeDicom("Q", "1.6", "1.6.1", "1.6.1.1", directory_), "Success");
  Json::Value all = ParseJson(Call(KestrumHttpMethod_Get, "/dicom-web/studies", "", "", true).body);
  ASSERT_EQ(2u, all.size());
  EXPECT_EQ("1.5", all[0]["0020000D"]["Value"][0].asString());
  EXPECT_EQ("1.6", all[1]["0020000D"]["Value"][0].asString());
  Json::Value limited = ParseJson(Call(KestrumHttpMethod_Get, "/dicom-web/studies?limit=1", "", "", true).body);
  EXPECT_EQ(1u, limited.size());
}

TEST_F(HostCoreTest, GlobalPropertiesPersistAcrossRestarts)
{
  std::string value;
  EXPECT_FALSE(core_->GetGlobalProperty(5467, value));
  core_->SetGlobalProperty(5467, "{\n   \"AutomatedRouting\" : true\n}\n");
  Open();
  ASSERT_TRUE(core_->GetGlobalProperty(5467, value));
  EXPECT_EQ("{\n   \"AutomatedRouting\" : true\n}\n", value);
}

TEST_F(HostCoreTest, LeftoversOfAnInterruptedUploadAreRemovedAtStart)
{
  std::string leftover = directory_ + "/storage/tmp/123-4-5.tmp";
  {
    std::ofstream file(leftover);
    file << "half a file";
  }
  Open();
  EXPECT_NE(0, access(leftover.c_str(), F_OK));
  EXPECT_EQ(0u, ParseJson(Call(KestrumHttpMethod_Get, "/instances").body).size());
}
