// The page's files: which file a request's path names in the --www folder,
// if any, and reading it without following a link or leaving the folder.
// Nothing else of the file system is ever served.
#ifndef DIO_WEBD_STATIC_FILES_H
#define DIO_WEBD_STATIC_FILES_H

#include <optional>
#include <string>

namespace dio_webd {

// The largest file served.
constexpr size_t kLargestStaticFile = 1024 * 1024;

// The file a raw (undecoded) request path names: "/" is index.html,
// "/style.css" style.css; nothing unless the name matches
// ^[a-z0-9][a-z0-9._-]*$ (no folder, no escape, no hidden file) and has a
// type the page uses.
std::optional<std::string> StaticFileName(const std::string &raw_path);

// "text/css; charset=utf-8" for "style.css"; nothing for a type not served.
std::optional<std::string> ContentTypeOf(const std::string &name);

struct StaticFile {
  std::string content_type;
  std::string content;
};

// name (one StaticFileName gave) from folder: nothing when it is missing,
// a link, not a regular file, larger than kLargestStaticFile or unreadable.
std::optional<StaticFile> ReadStaticFile(const std::string &folder, const std::string &name);

}  // namespace dio_webd

#endif
