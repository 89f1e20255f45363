// The one adapter over pugixml: nothing else includes its headers.
#include "exchange/XmlDocument.h"

#include <pugixml.hpp>

namespace tarnwick {

namespace {

pugi::xml_node Node(void* p) { return pugi::xml_node(static_cast<pugi::xml_node_struct*>(p)); }

std::vector<std::string_view> SplitPath(std::string_view path) {
  std::vector<std::string_view> steps;
  while (!path.empty()) {
    std::size_t slash = path.find('/');
    std::string_view step = path.substr(0, slash);
    if (!step.empty()) steps.push_back(step);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return steps;
}

// Collects the element children of node named steps[at], and below each of
// them the rest of the path, in document order. With firstOnly the walk
// stops at the first match.
bool Collect(pugi::xml_node node, const std::vector<std::string_view>& steps, std::size_t at,
             std::vector<pugi::xml_node>* out, pugi::xml_node* first) {
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_element || steps[at] != child.name()) continue;
    if (at + 1 == steps.size()) {
      if (first) {
        *first = child;
        return true;
      }
      out->push_back(child);
    } else if (Collect(child, steps, at + 1, out, first) && first) {
      return true;
    }
  }
  return false;
}

}  // namespace

struct XmlDocument::Impl {
  std::string text;  // parsed in place: the document points into it
  pugi::xml_document document;
};

XmlDocument::XmlDocument() : impl_(std::make_unique<Impl>()) {}
XmlDocument::~XmlDocument() = default;
XmlDocument::XmlDocument(XmlDocument&&) noexcept = default;
XmlDocument& XmlDocument::operator=(XmlDocument&&) noexcept = default;

XmlNode XmlDocument::Root() const {
  if (!impl_) return XmlNode();
  return XmlNode(impl_->document.internal_object());
}

XmlDocument LoadXmlDocument(std::string reply) {
  XmlDocument doc;
  doc.impl_->text = std::move(reply);
  std::string& text = doc.impl_->text;
  if (text.empty()) return doc;
  pugi::xml_parse_result result =
      doc.impl_->document.load_buffer_inplace(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
  doc.parsed_ = static_cast<bool>(result);
  // A reply that does not parse is an empty document, not the part that
  // parsed before the error.
  if (!doc.parsed_) {
    doc.impl_->document.reset();
    text.clear();
    text.shrink_to_fit();
  }
  return doc;
}

std::string RootName(const XmlDocument& document) {
  XmlNode root = document.Root();
  if (!root) return {};
  pugi::xml_node last = Node(root.node_).last_child();
  return last ? std::string(last.name()) : std::string();
}

XmlNode SelectNode(const XmlNode& context, std::string_view path) {
  if (!context) return XmlNode();
  std::vector<std::string_view> steps = SplitPath(path);
  if (steps.empty()) return XmlNode();
  pugi::xml_node found;
  Collect(Node(context.node_), steps, 0, nullptr, &found);
  return found ? XmlNode(found.internal_object()) : XmlNode();
}

std::vector<XmlNode> SelectNodes(const XmlNode& context, std::string_view path) {
  std::vector<XmlNode> out;
  if (!context) return out;
  std::vector<std::string_view> steps = SplitPath(path);
  if (steps.empty()) return out;
  std::vector<pugi::xml_node> found;
  Collect(Node(context.node_), steps, 0, &found, nullptr);
  out.reserve(found.size());
  for (pugi::xml_node n : found) out.push_back(XmlNode(n.internal_object()));
  return out;
}

std::string NodeText(const XmlNode& node) {
  std::string text;
  if (!node) return text;
  pugi::xml_node start = Node(node.node_);
  if (start.type() == pugi::node_pcdata || start.type() == pugi::node_cdata) return start.value();
  // Depth-first without recursion: a deeply nested reply cannot exhaust the stack.
  pugi::xml_node cur = start.first_child();
  while (cur) {
    if (cur.type() == pugi::node_pcdata || cur.type() == pugi::node_cdata) text += cur.value();
    if (cur.first_child()) {
      cur = cur.first_child();
      continue;
    }
    while (cur && cur != start && !cur.next_sibling()) cur = cur.parent();
    if (!cur || cur == start) break;
    cur = cur.next_sibling();
  }
  return text;
}

std::optional<std::string> AttributeText(const XmlNode& node, std::string_view name) {
  if (!node) return std::nullopt;
  for (pugi::xml_attribute a = Node(node.node_).first_attribute(); a; a = a.next_attribute()) {
    if (name == a.name()) return std::string(a.value());
  }
  return std::nullopt;
}

}  // namespace tarnwick
