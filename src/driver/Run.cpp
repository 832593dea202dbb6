// SPDX-License-Identifier: MIT
#include "driver/Run.h"

#include <boost/program_options.hpp>
#include <cstdint>
#include <istream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "env/Env.h"
#include "driver/LoadStage.h"
#include "driver/PatchStage.h"
#include "image/ImageToRecords.h"
#include "util/ErrorMsg.h"

namespace hexpoke {

namespace po = boost::program_options;

namespace {

// Option values are read only when the run gets to them, so that a missing
// option shows up where it is needed; reading an absent one throws
// boost::bad_any_cast.
template <typename T>
const T& Option(const po::variables_map& options, const char* name) {
  return options[name].as<T>();
}

// The file is closed again before this returns, so that the output may
// replace it even where an open file cannot be replaced (Windows). `lock`
// is the run's lock on it, if the run writes it back.
LoadedFile LoadInputFile(const std::string& path, const FileLock* lock,
                         std::ostream& messages) {
  const std::unique_ptr<std::istream> in =
      Env::Default()->OpenInput(path, lock);
  if (!in) throw std::runtime_error("File not opened");
  return LoadImage(*in, messages);
}

// Writes the image to the file at `path`; see Env::OpenOutput for how.
void WriteOutputFile(const std::string& path, const LoadedFile& loaded,
                     std::unique_ptr<FileLock> lock, std::ostream& messages) {
  // The output may be where the messages go (-o /dev/stdout): whatever
  // was printed must be out before the image follows it.
  messages.flush();
  // Counted by writing the text once more: only a file rewritten in place
  // asks.
  const TextLength length = [&loaded] {
    std::uint64_t total = 0;
    WriteImageText(loaded.image, loaded.extras,
                   [&total](std::string_view text) { total += text.size(); });
    return total;
  };
  OpenFailure failure = OpenFailure::kNotOpened;
  const std::unique_ptr<OutputFile> file =
      Env::Default()->OpenOutput(path, std::move(lock), length, failure);
  if (!file) {
    throw std::runtime_error(failure == OpenFailure::kNoSpace
                                 ? "File not written"
                                 : "File not opened");
  }
  bool written = true;
  WriteImageText(loaded.image, loaded.extras, [&](std::string_view text) {
    written = file->Append(text) && written;
  });
  if (!written || !file->Commit()) {
    throw std::runtime_error("File not written");
  }
}

}  // namespace

int RunHexpoke(int argc, const char* const argv[], std::ostream& out) {
  int return_code = 0;
  try {
    po::options_description description("Allowed options");
    description.add_options()
        ("help,h", "print usage message")
        ("input,i", po::value<std::string>(), "pathname for input")
        ("output,o", po::value<std::string>(), "pathname for output")
        ("address,a", po::value<int>(), "address")
        ("value,v", po::value<std::string>(), "value for write");

    // No positional options: a word that belongs to no option (a value
    // typed with a blank inside it) is refused, not dropped.
    const po::positional_options_description no_positionals;
    po::variables_map options;
    po::store(po::command_line_parser(argc, argv)
                  .options(description)
                  .positional(no_positionals)
                  .run(),
              options, false);

    if (options.count("help")) {
      out << description << std::endl;
      return 0;
    }

    const auto& input = Option<std::string>(options, "input");
    // A run that writes back the file it reads holds it from before it
    // reads it until it has written it, so that no other run's patch comes
    // in between and is lost. A missing output option is reported only
    // when the run gets to it.
    std::unique_ptr<FileLock> lock;
    if (options.count("output")) {
      lock = Env::Default()->LockForUpdate(
          input, Option<std::string>(options, "output"));
    }
    LoadedFile loaded = LoadInputFile(input, lock.get(), out);

    const auto& value = Option<std::string>(options, "value");
    if (!IsWellFormedValue(value)) {
      out << "Wrong walue" << std::endl;
      return 0;
    }
    const Bytes value_bytes = ValueBytes(value);
    PatchImage(loaded.image, Option<int>(options, "address"), value_bytes);

    WriteOutputFile(Option<std::string>(options, "output"), loaded,
                    std::move(lock), out);
  } catch (const std::exception& e) {
    out << "Error : " << e.what() << std::endl;
    return_code = 127;
  } catch (Util::ErrorMsg* e) {
    const std::unique_ptr<Util::ErrorMsg> owned(e);
    out << "Error : " << owned->Message() << std::endl;
    return_code = 126;
  } catch (...) {
    return_code = 128;
  }
  out.flush();
  return return_code;
}

}  // namespace hexpoke
