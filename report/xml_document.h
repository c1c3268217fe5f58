// A small writer over the platform's XML DOM (MSXML 6), enough for the
// error report's tree of text elements. COM is initialised on the calling
// thread for the document's lifetime, and ole32, oleaut32 and msxml6 load
// only when a document is made. Failures throw _com_error.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <string>
#include <vector>

#include "runtime/com.h"

namespace msxml6 {
// Declared here: MinGW's headers stop at the second version of the interface.
struct IXMLDOMDocument3 : IXMLDOMDocument2 {
    virtual HRESULT STDMETHODCALLTYPE validateNode(IXMLDOMNode* node, IXMLDOMParseError** error) = 0;
    virtual HRESULT STDMETHODCALLTYPE importNode(IXMLDOMNode* node, VARIANT_BOOL deep, IXMLDOMNode** clone) = 0;
};
}  // namespace msxml6

namespace SendErrorReport {

// text with every character that XML 1.0 forbids (C0 controls but tab, line
// feed and carriage return; surrogates without their partner; U+FFFE, U+FFFF)
// replaced by U+FFFD, so that any reader takes the document; all else as it is.
std::wstring xmlSafeText(const std::wstring& text);

class XmlDocument {
public:
    using Node = IXMLDOMElement*;  // owned by the document object

    XmlDocument();
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;
    ~XmlDocument();

    Node createElement(const std::wstring& name);
    // A new element holding text (made safe), appended to parent.
    void appendText(Node parent, const std::wstring& name, const std::wstring& text);
    void appendChild(Node parent, Node child);
    void appendRoot(Node root);
    // The serialised document: no declaration, text escaped.
    std::wstring xml();

private:
    bool uninitialize_ = false;
    RunTime::ComPtr<msxml6::IXMLDOMDocument3> document_;
    std::vector<RunTime::ComPtr<IXMLDOMElement>> elements_;
};

}  // namespace SendErrorReport
