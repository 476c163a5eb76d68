#pragma once

// The paths a package's entries name, as a tree with one node per path element, so that what is
// kept grows with the names in the package and not with the square of their depth. It checks
// the names as Windows will hold them and remembers which directories exist.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class EntryPaths {
  public:
    using Node = std::uint32_t;
    // The destination, where every path starts.
    static constexpr Node root = 0;

    EntryPaths();

    // Adds the path of one entry, given as its elements without empty and "." ones. Returns the
    // node of each element, in order; nothing when the path is refused: an element differs only
    // in letter case from the one seen at its place (Windows would merge the two, or let the
    // second replace the first), or a file entry named the path before, or the entry is a file
    // and a directory entry named the path before. A directory may be named again, by its own
    // entry or by the paths below it.
    [[nodiscard]] std::optional<std::vector<Node>> add(const std::vector<std::string>& elements,
                                                       bool is_directory);

    // Whether the directory of the node is known to exist: this run made or found it, or one
    // below it.
    [[nodiscard]] bool is_known_directory(Node node) const;
    // Records that the directory of the node exists, and with it every one above it.
    void set_known_directory(Node node);

  private:
    // A directory that only lies on the way of the paths named so far, one that an entry of its
    // own named, or a file.
    enum class Kind : std::uint8_t { on_the_way, directory, file };
    // The spelling lies in `spellings_`, so that a node holds no string of its own.
    struct Element {
        std::uint32_t spelling_start;
        std::uint32_t spelling_size;
        Node parent;
        Kind kind;
        bool known_directory;
    };

    [[nodiscard]] std::string spelling(Node node) const;
    [[nodiscard]] std::optional<Node> find(Node parent, const std::string& folded) const;
    Node insert(Node parent, const std::string& folded, const std::string& element, Kind kind);

    std::vector<Element> elements_;
    std::string spellings_;
    // Nodes by a hash of their parent and case-folded element; a match is then compared in full.
    std::unordered_multimap<std::uint64_t, Node> children_;
};
