// The embedded web application: the bytes served are those of the source
// tree, with the right content type, and every path that is not served is a
// 404 (the 405 of every route is checked with the JSON API's routes).

#include <WebInterface/StaticResources.h>

#include <FakeHostTest.h>
#include <KestrumException.h>
#include <Logging.h>
#include <SystemToolbox.h>

#include <filesystem>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace QuelbyCloud;
using QuelbyCloud::Testing::FakeHost;
using QuelbyCloud::Testing::PluginTest;

namespace
{
  // The repository, found from this file's own path (Tests/Unit/...).
  std::filesystem::path SourceRoot()
  {
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
  }

  std::string ReadDiskFile(const std::filesystem::path& path)
  {
    std::ifstream file(path.string().c_str(), std::ios::binary);
    EXPECT_TRUE(file.good()) << path;
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  int CodeOf(const std::function<void()>& action)
  {
    try
    {
      action();
    }
    catch (const Kestrum::KestrumException& e)
    {
      return e.GetErrorCode();
    }
    return 0;
  }

  class WebResourcesTest : public PluginTest
  {
  protected:
    // The callbacks that the plug-in registered for each directory, reached without the route matching.
    KestrumRestCallback library = nullptr;
    KestrumRestCallback application = nullptr;

    void SetUp() override
    {
      PluginTest::SetUp();
      const std::vector<FakeHost::Route> routes = host.Routes();
      for (size_t i = 0; i < routes.size(); i++)
      {
        library = (REST_ROUTES.at(i).handler == ServeLibraryFile ? routes[i].callback : library);
        application = (REST_ROUTES.at(i).handler == ServeApplicationFile ? routes[i].callback : application);
      }
    }

    void TearDown() override
    {
      Kestrum::Logging::SetInformationMask(0);
      PluginTest::TearDown();
    }

    // Information lines reach the host only for the categories of the mask.
    void ShowInformationLines()
    {
      Kestrum::Logging::SetInformationMask(Kestrum::Logging::LogCategory_GENERIC);
    }

    std::vector<std::string> UnknownExtensionLines()
    {
      std::vector<std::string> lines;
      for (const std::string& line : host.Infos())
      {
        if (line.find("Unknown MIME type") == 0)
        {
          lines.push_back(line);
        }
      }
      return lines;
    }
  };
}


TEST_F(WebResourcesTest, ContentTypesFollowTheExtensionOfTheLastComponentWithoutCase)
{
  struct Case { const char* path; const char* type; };
  const Case cases[] = {
    { "/a.txt", "text/plain" }, { "/index.html", "text/html" }, { "/a.xml", "application/xml" },
    { "/dashboard.css", "text/css" }, { "/app.js", "application/javascript" },
    { "/a.json", "application/json" }, { "/a.nmf", "application/json" }, { "/a.pdf", "application/pdf" },
    { "/a.wasm", "application/wasm" }, { "/a.nexe", "application/x-nacl" }, { "/a.pexe", "application/x-pnacl" },
    { "/a.dcm", "application/dicom" }, { "/a.jpg", "image/jpeg" }, { "/a.jpeg", "image/jpeg" },
    { "/img/ajax-loader.gif", "image/gif" }, { "/img/favicon-16x16.png", "image/png" },
    { "/a.pam", "image/x-portable-arbitrarymap" }, { "/fonts/x.svg", "image/svg+xml" },
    { "/fonts/x.woff", "application/x-font-woff" }, { "/fonts/x.woff2", "font/woff2" },
    // Case does not matter, and only the last dot of the last component counts.
    { "/IMG/FAVICON-16X16.PNG", "image/png" }, { "/Index.HtMl", "text/html" },
    { "/js/jquery-3.4.1.min.js", "application/javascript" }, { "/archive.tar.gz", "application/octet-stream" },
    { "/folder.html/readme", "application/octet-stream" }, { "/a.html/..", "application/octet-stream" },
    { "/a.html/.", "application/octet-stream" }, { "", "application/octet-stream" },
    { "/css/bootstrap.css.map", "application/octet-stream" }, { "/fonts/x.ttf", "application/octet-stream" }
  };

  for (const Case& c : cases)
  {
    EXPECT_STREQ(c.type, Kestrum::MimeTypeText(Kestrum::MimeTypeFromPath(c.path))) << c.path;
  }
}


TEST_F(WebResourcesTest, EveryContentTypeHasItsTextAndOtherValuesAreRefused)
{
  const char* texts[] = {
    "application/octet-stream", "text/css", "application/dicom", "image/gif", "application/gzip",
    "text/html", "application/javascript", "image/jpeg", "image/jp2", "application/json",
    "application/x-nacl", "application/x-pnacl", "image/x-portable-arbitrarymap", "application/pdf",
    "text/plain", "image/png", "image/svg+xml", "application/wasm", "application/xml",
    "application/x-font-woff", "font/woff2", "application/zip", "text/plain; version=0.0.4",
    "application/dicom+json", "application/dicom+xml"
  };

  for (int value = 0; value < 25; value++)
  {
    EXPECT_STREQ(texts[value], Kestrum::MimeTypeText(static_cast<Kestrum::MimeType>(value))) << value;
  }

  EXPECT_EQ(Kestrum::ErrorCode_ParameterOutOfRange, CodeOf([] { Kestrum::MimeTypeText(static_cast<Kestrum::MimeType>(25)); }));
  EXPECT_EQ(Kestrum::ErrorCode_ParameterOutOfRange, CodeOf([] { Kestrum::MimeTypeText(static_cast<Kestrum::MimeType>(-1)); }));
}


TEST_F(WebResourcesTest, AnUnknownExtensionIsReportedOnlyWhenInformationLinesAreShown)
{
  EXPECT_EQ(Kestrum::MimeType_Binary, Kestrum::MimeTypeFromPath("/css/bootstrap.css.map"));
  EXPECT_TRUE(host.Infos().empty());

  ShowInformationLines();
  Kestrum::MimeTypeFromPath("/css/Bootstrap.css.MAP");
  Kestrum::MimeTypeFromPath("/no-extension");
  Kestrum::MimeTypeFromPath("/index.html");

  const std::vector<std::string> lines = UnknownExtensionLines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("Unknown MIME type for extension \".map\"", lines[0]);
  EXPECT_EQ("Unknown MIME type for extension \"\"", lines[1]);
}


TEST_F(WebResourcesTest, TheApplicationDirectoryServesEveryFileOfTheSourceTree)
{
  const std::filesystem::path app = SourceRoot() / "WebApplication";
  size_t served = 0;

  for (std::filesystem::recursive_directory_iterator it(app), end; it != end; ++it)
  {
    const std::string relative = it->path().string().substr(app.string().size() + 1);
    if (!std::filesystem::is_regular_file(it->path()) ||
        relative == "explorer.js")
    {
      continue;
    }

    const FakeHost::RouteAnswer answer = host.CallHandler(application, "GET", { relative });
    EXPECT_EQ(200, answer.status) << relative;
    EXPECT_EQ(1u, answer.answerCount) << relative;
    EXPECT_TRUE(answer.body == ReadDiskFile(it->path())) << relative;
    EXPECT_EQ(Kestrum::MimeTypeText(Kestrum::MimeTypeFromPath(relative)), answer.mimeType) << relative;
    served++;
  }

  // The page, its script, its style sheet, two logos, four icons and the animation.
  EXPECT_GE(served, 10u);

  EXPECT_EQ("text/html", host.CallHandler(application, "GET", { "index.html" }).mimeType);
  EXPECT_EQ("application/javascript", host.CallHandler(application, "GET", { "app.js" }).mimeType);
  EXPECT_EQ("image/png", host.CallHandler(application, "GET", { "img/quelby-logo-negative.png" }).mimeType);
  EXPECT_EQ("image/gif", host.CallHandler(application, "GET", { "img/ajax-loader.gif" }).mimeType);
}


TEST_F(WebResourcesTest, TheLibrariesAreServedAtTheirFixedPathsFromTheInstalledPackages)
{
  const std::filesystem::path modules = SourceRoot() / "WebLibraries" / "node_modules";
  struct Case { const char* group; const char* source; const char* type; };
  const Case cases[] = {
    { "js/jquery-3.4.1.min.js", "jquery/dist/jquery.min.js", "application/javascript" },
    { "js/bootstrap.js", "bootstrap/dist/js/bootstrap.js", "application/javascript" },
    { "js/bootstrap.js.map", "bootstrap/dist/js/bootstrap.js.map", "application/octet-stream" },
    { "css/bootstrap.css", "bootstrap/dist/css/bootstrap.css", "text/css" },
    { "css/bootstrap.css.map", "bootstrap/dist/css/bootstrap.css.map", "application/octet-stream" },
    { "js/vue.min.js", "vue/dist/vue.min.js", "application/javascript" },
    { "css/font-awesome.css", "font-awesome/css/font-awesome.css", "text/css" },
    { "fonts/fontawesome-webfont.eot", "font-awesome/fonts/fontawesome-webfont.eot", "application/octet-stream" },
    { "fonts/fontawesome-webfont.svg", "font-awesome/fonts/fontawesome-webfont.svg", "image/svg+xml" },
    { "fonts/fontawesome-webfont.ttf", "font-awesome/fonts/fontawesome-webfont.ttf", "application/octet-stream" },
    { "fonts/fontawesome-webfont.woff", "font-awesome/fonts/fontawesome-webfont.woff", "application/x-font-woff" },
    { "fonts/fontawesome-webfont.woff2", "font-awesome/fonts/fontawesome-webfont.woff2", "font/woff2" },
    { "fonts/FontAwesome.otf", "font-awesome/fonts/FontAwesome.otf", "application/octet-stream" }
  };

  for (const Case& c : cases)
  {
    const FakeHost::RouteAnswer answer = host.CallHandler(library, "GET", { c.group });
    EXPECT_EQ(200, answer.status) << c.group;
    EXPECT_EQ(c.type, answer.mimeType) << c.group;
    const std::string expected = ReadDiskFile(modules / c.source);
    EXPECT_FALSE(expected.empty()) << c.source;
    EXPECT_TRUE(answer.body == expected) << c.group << " differs from " << c.source;
  }

  // The versions that the page was written for.
  EXPECT_NE(std::string::npos, host.CallHandler(library, "GET", { "js/vue.min.js" }).body.find("Vue.js v2.6.10"));
  EXPECT_NE(std::string::npos, host.CallHandler(library, "GET", { "js/jquery-3.4.1.min.js" }).body.find("jQuery v3.4.1"));
  EXPECT_NE(std::string::npos, host.CallHandler(library, "GET", { "css/bootstrap.css" }).body.find("Bootstrap v4.5.2"));
  EXPECT_NE(std::string::npos, host.CallHandler(library, "GET", { "css/font-awesome.css" }).body.find("Font Awesome 4.7.0"));
}


TEST_F(WebResourcesTest, PathsThatTheDirectoriesDoNotHoldAnswer404)
{
  const char* const applicationMisses[] = {
    "",                        // the URI ends right after "/app/": "/" is not a file
    "IMG/FAVICON-16X16.PNG",   // paths are case-sensitive
    "explorer.js",             // the extension script is not a file of the page
    "js/vue.min.js",           // library files are not in the application directory
    "img/",
    "../app.js",
    "index.html/"
  };
  for (const char* group : applicationMisses)
  {
    const FakeHost::RouteAnswer answer = host.CallHandler(application, "GET", { group });
    EXPECT_EQ(Kestrum::ErrorCode_InexistentItem, answer.callbackCode) << group;
    EXPECT_EQ(404, answer.status) << group;
    EXPECT_EQ(0u, answer.answerCount) << group;
  }

  const char* const libraryMisses[] = { "js/app.js", "js/jquery.min.js", "css/missing.map", "fonts/", "index.html" };
  for (const char* group : libraryMisses)
  {
    const FakeHost::RouteAnswer answer = host.CallHandler(library, "GET", { group });
    EXPECT_EQ(Kestrum::ErrorCode_InexistentItem, answer.callbackCode) << group;
    EXPECT_EQ(404, answer.status) << group;
  }

  // A request without any group (not a route of this plug-in) is refused the same way.
  EXPECT_EQ(404, host.CallHandler(application, "GET", {}).status);
}


TEST_F(WebResourcesTest, TheTypeIsDecidedBeforeTheLookup)
{
  ShowInformationLines();

  // Typed as an image, yet not found: the case of the path matters only for the lookup.
  const FakeHost::RouteAnswer upper = host.CallHandler(application, "GET", { "IMG/FAVICON-16X16.PNG" });
  EXPECT_EQ(404, upper.status);
  EXPECT_TRUE(UnknownExtensionLines().empty());

  // An unknown extension is reported even for a file that does not exist.
  EXPECT_EQ(404, host.CallHandler(library, "GET", { "css/missing.map" }).status);
  const FakeHost::RouteAnswer map = host.CallHandler(library, "GET", { "css/bootstrap.css.map" });
  EXPECT_EQ(200, map.status);
  EXPECT_EQ("application/octet-stream", map.mimeType);

  const std::vector<std::string> lines = UnknownExtensionLines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("Unknown MIME type for extension \".map\"", lines[0]);
  EXPECT_EQ(lines[0], lines[1]);
}


TEST_F(WebResourcesTest, AFailingAnswerServiceBecomesTheCallbacksCode)
{
  host.FailService(KestrumService_AnswerBuffer, Kestrum::ErrorCode_NetworkProtocol);
  EXPECT_EQ(Kestrum::ErrorCode_NetworkProtocol, host.CallHandler(application, "GET", { "index.html" }).callbackCode);

  host.FailService(KestrumService_SendMethodNotAllowed, Kestrum::ErrorCode_NetworkProtocol);
  EXPECT_EQ(Kestrum::ErrorCode_NetworkProtocol, host.CallHandler(library, "POST", { "js/vue.min.js" }).callbackCode);
}


TEST_F(WebResourcesTest, TheExplorerExtensionIsFileResourceZero)
{
  const std::string script = ReadEmbeddedFile(EmbeddedFile_ExplorerExtension);
  EXPECT_TRUE(script == ReadDiskFile(SourceRoot() / "WebApplication" / "explorer.js"));
  EXPECT_NE(std::string::npos, script.find("../plugins/quelby-cloud/app/index.html"));

  EXPECT_EQ(Kestrum::ErrorCode_ParameterOutOfRange, CodeOf([] { ReadEmbeddedFile(1); }));
  EXPECT_EQ(Kestrum::ErrorCode_ParameterOutOfRange, CodeOf([] { ReadEmbeddedFile(-1); }));
}


TEST_F(WebResourcesTest, DirectoryLookupsRefuseUnknownDirectoriesAndPaths)
{
  EXPECT_FALSE(ReadEmbeddedDirectoryFile(EmbeddedDirectory_Application, "/index.html").empty());
  EXPECT_FALSE(ReadEmbeddedDirectoryFile(EmbeddedDirectory_Libraries, "/js/vue.min.js").empty());

  EXPECT_EQ(Kestrum::ErrorCode_ParameterOutOfRange, CodeOf([] { ReadEmbeddedDirectoryFile(2, "/index.html"); }));
  EXPECT_EQ(Kestrum::ErrorCode_ParameterOutOfRange, CodeOf([] { ReadEmbeddedDirectoryFile(-1, "/index.html"); }));
  EXPECT_EQ(Kestrum::ErrorCode_InexistentItem, CodeOf([] { ReadEmbeddedDirectoryFile(EmbeddedDirectory_Application, "index.html"); }));
  EXPECT_EQ(Kestrum::ErrorCode_InexistentItem, CodeOf([] { ReadEmbeddedDirectoryFile(EmbeddedDirectory_Libraries, "/index.html"); }));
  EXPECT_EQ(Kestrum::ErrorCode_InexistentItem, CodeOf([] { ReadEmbeddedDirectoryFile(EmbeddedDirectory_Application, "/js/vue.min.js"); }));
}
