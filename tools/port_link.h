// Publishing the simulated device under a COM name in the port map folder,
// where sercap looks names up.
#pragma once

#include <string>

// The port map folder for the given XDG_CONFIG_HOME and HOME values (either
// may be null). Empty when neither gives a place.
std::string portMapDir(const char* xdgConfigHome, const char* home);

// The link dir/name -> target, created with its folders; an existing entry of
// that name is replaced. remove() (and the destructor) deletes the link only if
// it still points at the target, so a link taken over by someone else stays.
class PortLink {
 public:
  PortLink() = default;
  PortLink(const PortLink&) = delete;
  PortLink& operator=(const PortLink&) = delete;
  ~PortLink() { remove(); }

  // Returns false and sets *error on failure.
  bool create(const std::string& dir, const std::string& name, const std::string& target,
              std::string* error);
  void remove();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string target_;
};
