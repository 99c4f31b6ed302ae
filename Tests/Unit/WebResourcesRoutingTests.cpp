// The web application as a host reaches it, through the routes that the
// plug-in registers at start-up.

#include <FakeHostTest.h>

#include <filesystem>

#include <fstream>
#include <iterator>
#include <string>

using QuelbyCloud::Testing::FakeHost;

namespace
{
  std::string ReadSourceFile(const std::string& relative)
  {
    const std::filesystem::path root =
      std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
    std::ifstream file((root / relative).string().c_str(), std::ios::binary);
    EXPECT_TRUE(file.good()) << relative;
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  class WebResourcesRouting : public QuelbyCloud::Testing::PluginTest
  {
  };
}


TEST_F(WebResourcesRouting, EachPathUnderAppReachesTheDirectoryThatHoldsIt)
{
  const std::string app = "/plugins/quelby-cloud/app/";

  // Library paths go to the libraries, whatever the catch-all route would say.
  FakeHost::RouteAnswer answer = host.CallRoute("GET", app + "js/vue.min.js");
  EXPECT_EQ(200, answer.status);
  EXPECT_TRUE(answer.body == ReadSourceFile("WebLibraries/node_modules/vue/dist/vue.min.js"));
  EXPECT_EQ(200, host.CallRoute("GET", app + "css/bootstrap.css").status);
  EXPECT_EQ("font/woff2", host.CallRoute("GET", app + "fonts/fontawesome-webfont.woff2").mimeType);

  // Everything else is the page's own directory.
  answer = host.CallRoute("GET", app + "index.html");
  EXPECT_EQ(200, answer.status);
  EXPECT_EQ("text/html", answer.mimeType);
  EXPECT_TRUE(answer.body == ReadSourceFile("WebApplication/index.html"));
  EXPECT_EQ("application/javascript", host.CallRoute("GET", app + "app.js").mimeType);

  // The page's script is not a library; an empty path is no file.
  EXPECT_EQ(404, host.CallRoute("GET", app + "js/app.js").status);
  EXPECT_EQ(404, host.CallRoute("GET", app).status);
  EXPECT_EQ(405, host.CallRoute("POST", app + "index.html").status);
  EXPECT_EQ(405, host.CallRoute("DELETE", app + "css/bootstrap.css").status);

  // The explorer runs the extension script as it is in the source tree.
  bool extensionSet = false;
  for (const FakeHost::PropertySet& property : host.PropertySets())
  {
    if (property.property == KestrumProperty_ExplorerExtension)
    {
      EXPECT_EQ("quelby-cloud", property.plugin);
      EXPECT_TRUE(property.value == ReadSourceFile("WebApplication/explorer.js"));
      extensionSet = true;
    }
  }
  EXPECT_TRUE(extensionSet);
}
