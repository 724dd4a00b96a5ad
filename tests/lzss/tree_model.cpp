// Pointer nodes and modulo reads: see tree_model.hpp for why the model is written this way.
#include "tree_model.hpp"

#include "stream_builder.hpp"

#include <algorithm>
#include <array>
#include <memory>

namespace tree_model {

namespace {

constexpr int ring = 4096;
constexpr int key_length = 18;
constexpr int shortest_reference = 3;
constexpr long first_input_pos = ring - key_length;

using Key = std::array<std::uint8_t, key_length>;

struct Node {
    int pos = 0;
    bool in_tree = false;
    Node* left = nullptr;
    Node* right = nullptr;
    Node* up = nullptr;
};

struct Match {
    int pos = 0;
    int length = 0;
};

class Forest {
public:
    explicit Forest(Counts& counts) : counts_(counts) {
        for (int p = 0; p < ring; ++p) nodes_[static_cast<std::size_t>(p)].pos = p;
    }

    void store(long pos, std::uint8_t byte) { bytes_[wrap(pos)] = byte; }

    // Adds `pos` to the tree of its first byte and returns the best match met on the way:
    // the first node on the path whose common prefix is longer than every one before it.
    Match insert(long at) {
        Node& fresh = node(at);
        fresh.left = fresh.right = nullptr;
        const Key key = key_at(fresh.pos);
        Node** link = &roots_[key[0]];
        Node* up = nullptr;
        Match best;
        while (*link != nullptr) {
            Node& old = **link;
            const Key other = key_at(old.pos);
            const auto diff = std::mismatch(key.begin(), key.end(), other.begin());
            const int common = static_cast<int>(diff.first - key.begin());
            if (common > best.length) best = {old.pos, common};
            if (common == key_length) {
                take_place(old, fresh, *link);
                return best;
            }
            up = &old;
            link = *diff.first > *diff.second ? &old.right : &old.left;
        }
        *link = &fresh;
        fresh.up = up;
        fresh.in_tree = true;
        return best;
    }

    // Takes `pos` out of its tree; a node with two children is replaced by the greatest
    // node of its left subtree.
    void remove(long at) {
        Node& gone = node(at);
        if (!gone.in_tree) return;
        ++counts_.deletions;
        Node*& link = link_to(gone);
        Node* heir = nullptr;
        if (gone.left == nullptr || gone.right == nullptr) {
            heir = gone.left != nullptr ? gone.left : gone.right;
        } else {
            heir = gone.left;
            while (heir->right != nullptr) heir = heir->right;
            if (heir != gone.left) {
                ++counts_.two_child_moved;
                heir->up->right = heir->left;
                if (heir->left != nullptr) heir->left->up = heir->up;
                heir->left = gone.left;
                gone.left->up = heir;
            } else {
                ++counts_.two_child_adjacent;
            }
            heir->right = gone.right;
            gone.right->up = heir;
        }
        if (heir != nullptr) heir->up = gone.up;
        link = heir;
        gone.in_tree = false;
        gone.left = gone.right = gone.up = nullptr;
    }

private:
    static std::size_t wrap(long pos) { return static_cast<std::size_t>(pos & (ring - 1)); }

    Node& node(long pos) { return nodes_[wrap(pos)]; }

    Key key_at(int pos) const {
        Key key{};
        for (int i = 0; i < key_length; ++i)
            key[static_cast<std::size_t>(i)] = bytes_[wrap(pos + i)];
        return key;
    }

    Node*& link_to(Node& n) {
        if (n.up == nullptr) return roots_[bytes_[wrap(n.pos)]];
        return n.up->left == &n ? n.up->left : n.up->right;
    }

    void take_place(Node& old, Node& fresh, Node*& link) {
        ++counts_.replacements;
        fresh.left = old.left;
        fresh.right = old.right;
        fresh.up = old.up;
        if (fresh.left != nullptr) fresh.left->up = &fresh;
        if (fresh.right != nullptr) fresh.right->up = &fresh;
        link = &fresh;
        fresh.in_tree = true;
        old.in_tree = false;
        old.left = old.right = old.up = nullptr;
    }

    Counts& counts_;
    std::array<std::uint8_t, ring> bytes_{}; // pre-fill and untouched tail are both 0x00
    std::array<Node, ring> nodes_{};
    std::array<Node*, 256> roots_{};
};

} // namespace

std::vector<std::uint8_t> encode(std::span<const std::uint8_t> input, Counts* counts) {
    Counts scratch;
    const auto forest = std::make_unique<Forest>(counts != nullptr ? *counts : scratch);
    const long n = static_cast<long>(input.size());
    // Input byte k lives at ring position first_input_pos + k; k = -18..-1 are pre-fill.
    const auto pos = [](long k) { return first_input_pos + k; };

    long loaded = 0;
    for (; loaded < std::min<long>(n, key_length); ++loaded)
        forest->store(pos(loaded), input[static_cast<std::size_t>(loaded)]);
    for (long k = -1; k >= -key_length; --k) (void)forest->insert(pos(k));
    Match match = forest->insert(pos(0));

    testkit::StreamBuilder out;
    long coded = 0;
    while (coded < n) {
        int length = static_cast<int>(std::min<long>(match.length, loaded - coded));
        if (length < shortest_reference) {
            out.literal(input[static_cast<std::size_t>(coded)]);
            length = 1;
        } else {
            out.reference(match.pos, length);
        }
        for (int step = 0; step < length; ++step) {
            // The slot 18 ahead of the coding position is the oldest one; it is reused.
            forest->remove(pos(coded + key_length));
            if (loaded < n) {
                forest->store(pos(loaded), input[static_cast<std::size_t>(loaded)]);
                ++loaded;
            }
            ++coded;
            if (coded < loaded) match = forest->insert(pos(coded));
        }
    }
    return out.bytes();
}

} // namespace tree_model
