// Files of the current root by firmware path for any test; update and
// installation media: MAC range files, update.init archives built with the
// zip program, and the command log read back from a given line on.
#pragma once

#include <map>
#include <string>
#include <vector>

// Writes bytes to a firmware path of the current root (folders made);
// false when they could not be written.
bool FwPut(const std::string& firmwarePath, const std::string& bytes);
// The file's bytes, or "<missing>".
std::string FwGet(const std::string& firmwarePath);
bool FwExists(const std::string& firmwarePath);

// The range file text: the next address at 0, the last at 19.
std::string FwMacIds(const std::string& next, const std::string& last);

// Builds a zip archive at the firmware path from name -> content with the
// system's zip program; false when it cannot be built.
bool FwZip(const std::string& firmwarePath, const std::map<std::string, std::string>& entries);

// The installation medium: the card inserted, a firmware file, the four
// images, update.init holding path.info, oeminfo.txt and MACIDS.TXT, the
// UBI tool and a UBI kernel command line. The firmware file's content is
// returned.
std::string FwFullInstallMedium(const std::string& pathInfo, const std::string& macIds,
                                const std::string& oem = "3\r\n");

// Command log lines from index `from` on.
std::vector<std::string> FwCommandsFrom(size_t from);
// The lines of `log` that begin with one of the words (in order).
std::vector<std::string> FwOnly(const std::vector<std::string>& log, const std::vector<std::string>& firstWords);
