#include "gantry/xml/configuration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace Gantry::XML {

Configuration::Configuration(std::string file_name, std::ostream& errors, unsigned flags)
    : Configuration(std::vector<std::string>{std::move(file_name)}, errors, flags) {}

Configuration::Configuration(std::vector<std::string> file_names, std::ostream& errors,
                             unsigned flags)
    : file_names_(std::move(file_names)), errors_(&errors), flags_(flags) {}

void Configuration::add_file_name(std::string file_name) {
    file_names_.push_back(std::move(file_name));
}

bool Configuration::parse(auto&& input, std::string_view root_name, std::string_view what) {
    // A fresh parser per document, so that line numbers count from the start of this one.
    Parser parser(*errors_, flags_);
    try {
        parser.read(input);
    } catch (const ParseFailed&) {
        *errors_ << "Bad XML in config file\n";
        return false;
    }
    const Element& root = parser.root();
    if (!root_name.empty() && root.name() != root_name) {
        *errors_ << "Bad root in config " << what << " - expected <" << root_name << ">, got <"
                 << root.name() << ">\n";
        return false;
    }
    root_ = parser.detach_root();
    return true;
}

bool Configuration::read(std::string_view root_name) {
    for (const std::string& name : file_names_) {
        std::ifstream in(name, std::ios::binary);
        if (in.is_open()) return parse(in, root_name, "file");
    }
    return false;
}

bool Configuration::read_text(std::string_view text, std::string_view root_name) {
    return parse(text, root_name, "text");
}

bool Configuration::reload() {
    return read(root_ ? std::string_view(root_->name()) : std::string_view());
}

Element& Configuration::replace_root(std::string name) {
    root_ = std::make_unique<Element>(std::move(name));
    return *root_;
}

std::string Configuration::get_value(std::string_view path, std::string_view def) const {
    return query().get_value(path, def);
}
int Configuration::get_value_int(std::string_view path, int def) const {
    return query().get_value_int(path, def);
}
unsigned Configuration::get_value_hex(std::string_view path, unsigned def) const {
    return query().get_value_hex(path, def);
}
uint64_t Configuration::get_value_int64(std::string_view path, uint64_t def) const {
    return query().get_value_int64(path, def);
}
uint64_t Configuration::get_value_hex64(std::string_view path, uint64_t def) const {
    return query().get_value_hex64(path, def);
}
bool Configuration::get_value_bool(std::string_view path, bool def) const {
    return query().get_value_bool(path, def);
}
double Configuration::get_value_real(std::string_view path, double def) const {
    return query().get_value_real(path, def);
}
Element* Configuration::get_element(std::string_view path) const {
    return query().get_element(path);
}
std::vector<Element*> Configuration::get_elements(std::string_view path) const {
    return query().get_elements(path);
}

std::vector<std::string> Configuration::get_values(std::string_view path) const {
    std::vector<std::string> values;
    for (const Element* e : get_elements(path))
        values.push_back(e->get_content());
    return values;
}

std::map<std::string, std::string> Configuration::get_map(std::string_view path,
                                                          std::string_view key_attr) const {
    std::map<std::string, std::string> map;
    for (const Element* e : get_elements(path))
        if (const std::string* key = e->attrs().find(key_attr)) map[*key] = e->get_content();
    return map;
}

bool Configuration::set_value(std::string_view path, std::string_view text) {
    return query().set_value(path, text);
}
bool Configuration::set_value_int(std::string_view path, int value) {
    return query().set_value_int(path, value);
}
bool Configuration::set_value_hex(std::string_view path, unsigned value) {
    return query().set_value_hex(path, value);
}
bool Configuration::set_value_int64(std::string_view path, uint64_t value) {
    return query().set_value_int64(path, value);
}
bool Configuration::set_value_hex64(std::string_view path, uint64_t value) {
    return query().set_value_hex64(path, value);
}
bool Configuration::set_value_real(std::string_view path, double value) {
    return query().set_value_real(path, value);
}
bool Configuration::set_value_bool(std::string_view path, bool value) {
    return query().set_value_bool(path, value);
}
bool Configuration::delete_elements(std::string_view path) {
    return query().delete_elements(path);
}
bool Configuration::add_element(std::string_view path, std::unique_ptr<Element> element) {
    return query().add_element(path, std::move(element));
}
Element* Configuration::add_element(std::string_view path, std::string_view name) {
    return query().add_element(path, name);
}
bool Configuration::replace_element(std::string_view path, std::unique_ptr<Element> element) {
    return query().replace_element(path, std::move(element));
}
Element& Configuration::ensure_path(std::string_view path) {
    return query().ensure_path(path);
}

namespace {

bool write_all(int fd, const std::string& data) {
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool Configuration::write() {
    if (file_names_.empty() || file_names_.front().empty()) {
        *errors_ << "Config: no filename available for write\n";
        return false;
    }
    const std::string& name = file_names_.front();
    if (!root_) {
        // Writing nothing would replace a good file with one that reads back as no document.
        *errors_ << "Config: no content to write to " << name << '\n';
        return false;
    }
    const std::string temporary = name + "~new";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        *errors_ << "Config: can't create " << temporary << " for update: " << std::strerror(errno)
                 << '\n';
        return false;
    }
    struct stat old;
    if (::stat(name.c_str(), &old) == 0) (void)::fchmod(fd, old.st_mode & 07777);

    // The data reaches the disk before the rename, so a crash cannot leave a renamed but empty
    // file behind.
    bool written = write_all(fd, root_->to_string(false)) && ::fsync(fd) == 0;
    int saved = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        saved = errno;
    }
    if (!written) {
        *errors_ << "Config: Failed writing new content to temporary file " << temporary << ": "
                 << std::strerror(saved) << '\n';
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), name.c_str()) != 0) {
        *errors_ << "Config: Can't rename " << temporary << " to " << name << ": "
                 << std::strerror(errno) << '\n';
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace Gantry::XML
