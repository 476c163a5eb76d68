#include "entry_paths.h"

#include <functional>
#include <limits>

#include "case_folding.h"

namespace {

std::uint64_t child_key(EntryPaths::Node parent, const std::string& folded) {
    return static_cast<std::uint64_t>(std::hash<std::string>()(folded)) ^
           (static_cast<std::uint64_t>(parent) * 0x9E3779B97F4A7C15ULL);
}

}  // namespace

EntryPaths::EntryPaths() : elements_{{0, 0, root, Kind::directory, false}} {}

std::string EntryPaths::spelling(Node node) const {
    const Element& element = elements_[node];
    return spellings_.substr(element.spelling_start, element.spelling_size);
}

std::optional<EntryPaths::Node> EntryPaths::find(Node parent, const std::string& folded) const {
    const auto [first, last] = children_.equal_range(child_key(parent, folded));
    for (auto candidate = first; candidate != last; ++candidate) {
        const Node node = candidate->second;
        if (elements_[node].parent == parent && fold_case(spelling(node)) == folded) {
            return node;
        }
    }
    return std::nullopt;
}

EntryPaths::Node EntryPaths::insert(Node parent, const std::string& folded,
                                    const std::string& element, Kind kind) {
    const auto node = static_cast<Node>(elements_.size());
    elements_.push_back({static_cast<std::uint32_t>(spellings_.size()),
                         static_cast<std::uint32_t>(element.size()), parent, kind, false});
    spellings_ += element;
    children_.emplace(child_key(parent, folded), node);
    return node;
}

std::optional<std::vector<EntryPaths::Node>> EntryPaths::add(
    const std::vector<std::string>& elements, bool is_directory) {
    std::vector<Node> nodes;
    nodes.reserve(elements.size());
    Node node = root;
    for (std::size_t i = 0; i < elements.size(); ++i) {
        const bool last = i + 1 == elements.size();
        const Kind kind = !last ? Kind::on_the_way : is_directory ? Kind::directory : Kind::file;
        const std::string folded = fold_case(elements[i]);
        const std::optional<Node> seen = find(node, folded);
        // Offsets and nodes are 32 bits, far more than the names of any archive need; every
        // element has a character, so there are fewer nodes than characters.
        if (!seen && spellings_.size() + elements[i].size() >= std::numeric_limits<Node>::max()) {
            return std::nullopt;
        }
        if (!seen) {
            node = insert(node, folded, elements[i], kind);
        } else {
            node = *seen;
            const Kind before = elements_[node].kind;
            // A file where only paths below it were named, like a path below a file, is left to
            // the file system, which refuses it with its own error.
            const bool named_again =
                before == Kind::file || (before == Kind::directory && kind == Kind::file);
            if (spelling(node) != elements[i] || (last && named_again)) {
                return std::nullopt;
            }
            if (kind == Kind::directory) {
                elements_[node].kind = kind;
            }
        }
        nodes.push_back(node);
    }
    return nodes;
}

bool EntryPaths::is_known_directory(Node node) const {
    return elements_[node].known_directory;
}

void EntryPaths::set_known_directory(Node node) {
    for (;;) {
        Element& element = elements_[node];
        if (element.known_directory) {
            return;
        }
        element.known_directory = true;
        if (node == root) {
            return;
        }
        node = element.parent;
    }
}
