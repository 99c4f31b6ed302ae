#include "WebPages.h"

#include <KestrumException.h>
#include <SystemToolbox.h>

#include <cstdlib>
#include <optional>
#include <sstream>

namespace KestrumHost
{
  namespace
  {
    const char* const LibraryPrefix = "/app/libs/";

    const char* const ExplorerPage = R"HTML(<!DOCTYPE html>
<html>
<head>
  <meta charset="utf-8">
  <meta name="viewport" content="width=device-width, initial-scale=1">
  <title>Kestrum Explorer</title>
  <link rel="stylesheet" href="libs/jquery.mobile.min.css">
  <script src="libs/jquery.min.js"></script>
  <script src="libs/jquery.mobile.min.js"></script>
</head>
<body>
  <div data-role="page" id="lookup">
    <div data-role="header">
      <a href="../" data-ajax="false" class="ui-btn ui-btn-left ui-icon-home ui-btn-icon-notext">Home</a>
      <h1>Kestrum Explorer</h1>
    </div>
    <div role="main" class="ui-content">
      <form id="lookup-form">
        <label for="lookup-id">Instance ID</label>
        <input type="text" id="lookup-id" name="lookup-id">
        <button type="submit" class="ui-btn">Look up</button>
      </form>
      <div id="lookup-result"></div>
    </div>
  </div>
  <script>
    $(document).on('pagecreate', '#lookup', function () {
      $('#lookup-form').on('submit', function (event) {
        event.preventDefault();
        var id = $('#lookup-id').val();
        $.ajax({ url: '../instances/' + encodeURIComponent(id), dataType: 'json' })
          .done(function (instance) {
            $('#lookup-result').text('SOP Instance UID: ' + instance.MainDicomTags.SOPInstanceUID);
          })
          .fail(function () {
            $('#lookup-result').text('No such instance');
          });
      });
    });
  </script>
  <script src="explorer-extensions.js"></script>
</body>
</html>
)HTML";

    /**
     * Only what the explorer page loads gets a type of its own: the libraries'
     * other files (their demo pages among them) go out as opaque data, so that
     * none of them runs as a page of the host.
     */
    std::string LibraryMimeType(const std::string& path)
    {
      const Kestrum::MimeType type = Kestrum::MimeTypeFromPath(path);
      switch (type)
      {
        case Kestrum::MimeType_JavaScript:
        case Kestrum::MimeType_Css:
        case Kestrum::MimeType_Png:
        case Kestrum::MimeType_Gif:
        case Kestrum::MimeType_Svg:
          return Kestrum::MimeTypeText(type);
        default:
          return Kestrum::MimeTypeText(Kestrum::MimeType_Binary);
      }
    }

    /** Empty when the path does not name a readable regular file. */
    std::optional<std::string> ReadLibraryFile(const std::string& path)
    {
      std::string content;
      try
      {
        Kestrum::ReadWholeFile(content, path);
      }
      catch (const Kestrum::KestrumException&)
      {
        return std::nullopt;
      }
      return content;
    }

    /** Only plain names below the library folder: no "..", no hidden files, nothing odd. */
    bool IsSafeRelativePath(const std::string& relative)
    {
      if (relative.empty() || relative.size() > 200 || relative[0] == '/')
      {
        return false;
      }
      if (relative.find("..") != std::string::npos || relative.find("//") != std::string::npos)
      {
        return false;
      }
      for (char c : relative)
      {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
          c == '-' || c == '_' || c == '.' || c == '/';
        if (!ok)
        {
          return false;
        }
      }
      return true;
    }
  }

  std::string EscapeHtml(const std::string& text)
  {
    std::string result;
    for (char c : text)
    {
      switch (c)
      {
        case '&': result += "&amp;"; break;
        case '<': result += "&lt;"; break;
        case '>': result += "&gt;"; break;
        case '"': result += "&quot;"; break;
        case '\'': result += "&#39;"; break;
        default: result += c; break;
      }
    }
    return result;
  }

  WebPages::WebPages(const PluginManager& plugins) :
    plugins_(plugins)
  {
    const char* overridden = std::getenv("KESTRUM_HOST_WEB_LIBRARIES");
    librariesFolder_ = (overridden != nullptr && overridden[0] != '\0') ? overridden : KESTRUM_HOST_WEB_LIBRARIES;
  }

  std::string WebPages::RenderHome(const std::string& hostName) const
  {
    std::ostringstream html;
    html << "<!DOCTYPE html>\n<html>\n<head><meta charset=\"utf-8\"><title>" << EscapeHtml(hostName)
         << "</title></head>\n<body>\n<h1>" << EscapeHtml(hostName) << "</h1>\n"
         << "<p><a href=\"app/explorer.html\">Explorer</a></p>\n<h2>Plug-ins</h2>\n<ul id=\"plugins\">\n";
    std::map<std::string, std::string> roots = plugins_.GetRootUris();
    for (const std::string& name : plugins_.ListPluginNames())
    {
      auto root = roots.find(name);
      html << "<li>";
      if (root != roots.end())
      {
        html << "<a href=\"" << EscapeHtml(root->second) << "\">" << EscapeHtml(name) << "</a>";
      }
      else
      {
        html << EscapeHtml(name);
      }
      html << "</li>\n";
    }
    html << "</ul>\n</body>\n</html>\n";
    return html.str();
  }

  bool WebPages::Serve(const std::string& path, RestAnswer& answer) const
  {
    if (path == "/app/explorer.html")
    {
      answer.SetBody(ExplorerPage, "text/html; charset=utf-8");
      return true;
    }
    if (path == "/app/explorer-extensions.js")
    {
      answer.SetBody(plugins_.GetExplorerExtensions(), "application/javascript");
      return true;
    }
    if (path.compare(0, std::string(LibraryPrefix).size(), LibraryPrefix) != 0)
    {
      return false;
    }

    std::string relative = path.substr(std::string(LibraryPrefix).size());
    std::string file;
    if (relative == "jquery.min.js")
    {
      file = librariesFolder_ + "/jquery-for-mobile/dist/jquery.min.js";
    }
    else if (IsSafeRelativePath(relative))
    {
      file = librariesFolder_ + "/jquery-mobile/dist/" + relative;
    }
    else
    {
      return false;
    }
    const std::optional<std::string> content = ReadLibraryFile(file);
    if (!content)
    {
      return false;
    }
    answer.SetBody(*content, LibraryMimeType(file));
    return true;
  }
}
