// Helpers shared by the tests.
#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tolva::test {

ScratchDir::ScratchDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tolva-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("can't make a scratch directory");
    path_ = pattern;
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

WorkIn::WorkIn(const std::string &dir)
    : old_dir_(std::filesystem::current_path()),
      old_home_(std::getenv("HOME") ? std::getenv("HOME") : "")
{
    std::filesystem::current_path(dir);
    setenv("HOME", dir.c_str(), 1);
}

WorkIn::~WorkIn()
{
    setenv("HOME", old_home_.c_str(), 1);
    std::filesystem::current_path(old_dir_);
}

std::string ScratchDir::write(const std::string &name, const std::string &content) const
{
    std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string read_stream(std::FILE *file)
{
    if (!file)
        return "";
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

std::string exactly(const std::string &text)
{
    std::string pattern = "^";
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos)
            pattern += '\\';
        pattern += c;
    }
    return pattern + "$";
}

std::string source_path(const std::string &relative)
{
    const char *root = std::getenv("TOLVA_SOURCE_DIR");
    return std::string(root ? root : ".") + "/" + relative;
}

} // namespace tolva::test
