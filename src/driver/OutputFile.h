#ifndef HEXPOKE_DRIVER_OUTPUT_FILE_H_
#define HEXPOKE_DRIVER_OUTPUT_FILE_H_

#include <functional>
#include <ostream>
#include <string>

namespace hexpoke {

// Has `write_contents` write the file at `path` through a text-mode stream,
// so that on Windows each '\n' it writes becomes CR LF.
//
// A regular file, or a path that names nothing yet, is never truncated in
// place: the text goes to a new file beside it that is renamed over `path`
// only once it has been written and closed without error. The old file thus
// stays whole until it is replaced, which matters most when it is also the
// input. A symbolic link is followed and the file it names is replaced; an
// existing file keeps its permission bits. Any other kind of file (a device,
// a FIFO), and any path under /dev or /proc, is written directly.
//
// Throws std::runtime_error("File not opened") if the file cannot be opened
// or created (a missing directory, a directory, no permission), and
// std::runtime_error("File not written") if writing or closing it fails.
// On every failure the old file is left as it was and no temporary file
// remains.
void WriteOutputFile(
    const std::string& path,
    const std::function<void(std::ostream&)>& write_contents);

}  // namespace hexpoke

#endif  // HEXPOKE_DRIVER_OUTPUT_FILE_H_
