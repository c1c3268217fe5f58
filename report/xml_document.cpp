#include "report/xml_document.h"

#include <comdef.h>

#include "runtime/library.h"

namespace SendErrorReport {

namespace {

const CLSID kDomDocument60 = {0x88D96A05, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
const IID kXmlDomDocument3 = {0x2933BF96, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

void check(HRESULT result) {
    if (FAILED(result)) throw _com_error(result);
}

template <class Function>
Function* ole32(const char* name) {
    Function* function = RunTime::systemFunction<Function>(L"ole32.dll", name);
    if (!function) check(HRESULT_FROM_WIN32(GetLastError()));
    return function;
}

RunTime::Bstr bstr(const std::wstring& text) {
    RunTime::Bstr result;
    check(RunTime::Bstr::make(text, result));
    return result;
}

}  // namespace

std::wstring xmlSafeText(const std::wstring& text) {
    constexpr wchar_t kReplacement = 0xFFFD;
    const auto high = [](wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; };
    const auto low = [](wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; };
    std::wstring safe = text;
    for (std::size_t i = 0; i < safe.size(); ++i) {
        const wchar_t c = safe[i];
        if (high(c) && i + 1 < safe.size() && low(safe[i + 1])) {
            ++i;  // a pair: one character, allowed
        } else if ((c < 0x20 && c != L'\t' && c != L'\n' && c != L'\r') || high(c) || low(c) || c == 0xFFFE ||
                   c == 0xFFFF) {
            safe[i] = kReplacement;
        }
    }
    return safe;
}

XmlDocument::XmlDocument() {
    // Multithreaded: the report builder's thread pumps no messages, and a single-threaded apartment needs a pump.
    const HRESULT initialized = ole32<decltype(CoInitializeEx)>("CoInitializeEx")(nullptr, COINIT_MULTITHREADED);
    // A thread already in another apartment still serves the document.
    if (initialized != RPC_E_CHANGED_MODE) {
        check(initialized);
        uninitialize_ = true;
    }
    try {
        check(ole32<decltype(CoCreateInstance)>("CoCreateInstance")(kDomDocument60, nullptr, CLSCTX_INPROC_SERVER,
                                                                     kXmlDomDocument3, document_.putVoid()));
    } catch (...) {
        if (uninitialize_) ole32<decltype(CoUninitialize)>("CoUninitialize")();
        throw;
    }
}

XmlDocument::~XmlDocument() {
    elements_.clear();
    document_.reset();
    if (uninitialize_)
        if (auto uninitialize = RunTime::systemFunction<decltype(CoUninitialize)>(L"ole32.dll", "CoUninitialize"))
            uninitialize();
}

XmlDocument::Node XmlDocument::createElement(const std::wstring& name) {
    RunTime::ComPtr<IXMLDOMElement> element;
    check(document_->createElement(bstr(name).get(), element.put()));
    elements_.push_back(std::move(element));
    return elements_.back().get();
}

void XmlDocument::appendText(Node parent, const std::wstring& name, const std::wstring& text) {
    const Node element = createElement(name);
    check(element->put_text(bstr(xmlSafeText(text)).get()));
    appendChild(parent, element);
}

void XmlDocument::appendChild(Node parent, Node child) { check(parent->appendChild(child, nullptr)); }

void XmlDocument::appendRoot(Node root) { check(document_->appendChild(root, nullptr)); }

std::wstring XmlDocument::xml() {
    RunTime::Bstr text;
    check(document_->get_xml(text.put()));
    return text.text();
}

}  // namespace SendErrorReport
