// Reading XML replies: a document made from a reply text and path lookups
// over it. Paths are plain slash-separated element names compared with the
// names as they stand in the reply, prefixes included ("soap:Envelope",
// "a:multistatus"); no namespaces are resolved and no selection language is
// involved. A reply that does not parse gives an empty document in which
// every lookup finds nothing; what that means is the caller's to decide.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

class XmlDocument;

// A node of a document, or no node. Valid while its document lives.
class XmlNode {
 public:
  XmlNode() = default;
  explicit operator bool() const { return node_ != nullptr; }

 private:
  friend class XmlDocument;
  friend std::string RootName(const XmlDocument& document);
  friend XmlNode SelectNode(const XmlNode& context, std::string_view path);
  friend std::vector<XmlNode> SelectNodes(const XmlNode& context, std::string_view path);
  friend std::string NodeText(const XmlNode& node);
  friend std::optional<std::string> AttributeText(const XmlNode& node, std::string_view name);
  explicit XmlNode(void* node) : node_(node) {}
  void* node_ = nullptr;
};

class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(XmlDocument&&) noexcept;
  XmlDocument& operator=(XmlDocument&&) noexcept;
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // The document node: the context for paths that start at the root element.
  XmlNode Root() const;
  // Whether the text parsed; the readers do not look at it.
  bool parsed() const { return parsed_; }

 private:
  friend XmlDocument LoadXmlDocument(std::string reply);
  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool parsed_ = false;
};

// Parses a reply (UTF-8). The text is taken over and parsed in place, so a
// large reply is not copied.
XmlDocument LoadXmlDocument(std::string reply);
// Name of the document's last top-level node (the root element); empty for
// an empty document.
std::string RootName(const XmlDocument& document);
// The first node at path below context, in document order; may be none.
XmlNode SelectNode(const XmlNode& context, std::string_view path);
// Every node at path below context, in document order.
std::vector<XmlNode> SelectNodes(const XmlNode& context, std::string_view path);
// The concatenated text of the node's descendants; empty for no node.
std::string NodeText(const XmlNode& node);
// The attribute's value, none when the node or the attribute is missing.
std::optional<std::string> AttributeText(const XmlNode& node, std::string_view name);

}  // namespace tarnwick
