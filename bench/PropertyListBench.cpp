// Writing and parsing XML property lists, ours against libplist on the same documents: a
// request-sized dictionary (what the helper tool parses for every request) and a 1 MiB document of
// nested dictionaries and arrays holding every value type.
#include <CoreFoundation/CoreFoundation.h>
#include <Support/CFRef.h>

#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using wfs::CFRef;

namespace {

CFRef<CFStringRef> String(const std::string &s) {
    return CFRef<CFStringRef>(CFStringCreateWithCString(nullptr, s.c_str(), kCFStringEncodingUTF8));
}

void Set(CFMutableDictionaryRef dict, const char *key, CFTypeRef value) {
    CFDictionarySetValue(dict, String(key).get(), value);
    CFRelease(value);
}

CFMutableDictionaryRef NewDictionary() {
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
}

CFPropertyListRef MakeRequest() {
    CFMutableDictionaryRef request = NewDictionary();
    Set(request, "CommandName", String("SchedulePowerEvent").release());
    Set(request, "Date", CFDateCreate(nullptr, 818237072.0));
    Set(request, "Scheduler", String("com.example.TDWakeFromSleep").release());
    Set(request, "Type", String("wakepoweron").release());
    return request;
}

// Records of every value type, some nested a few levels, until the document passes 1 MiB.
CFPropertyListRef MakeLargeDocument() {
    std::mt19937 random(2026);
    CFMutableDictionaryRef root = NewDictionary();
    CFMutableArrayRef items = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    Set(root, "Items", items);  // root keeps it; we keep filling it
    Set(root, "Version", String("1.0").release());
    for (int i = 0;; ++i) {
        CFMutableDictionaryRef item = NewDictionary();
        Set(item, "Name", String("Item number " + std::to_string(i) + " <" + std::to_string(random()) + ">").release());
        SInt64 id = static_cast<SInt64>(random()) * 1000 + i;
        Set(item, "Identifier", CFNumberCreate(nullptr, kCFNumberSInt64Type, &id));
        double score = static_cast<double>(random()) / 7.0;
        Set(item, "Score", CFNumberCreate(nullptr, kCFNumberFloat64Type, &score));
        Set(item, "Created", CFDateCreate(nullptr, 800000000.0 + i * 3600.5));
        Set(item, "Enabled", CFRetain(i % 3 ? kCFBooleanTrue : kCFBooleanFalse));
        std::vector<UInt8> bytes(48);
        for (auto &b : bytes) b = static_cast<UInt8>(random());
        Set(item, "Payload", CFDataCreate(nullptr, bytes.data(), static_cast<CFIndex>(bytes.size())));
        CFMutableArrayRef tags = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        for (int t = 0; t < 4; ++t) {
            CFStringRef tag = String("tag-" + std::to_string((i + t) % 17)).release();
            CFArrayAppendValue(tags, tag);
            CFRelease(tag);
        }
        Set(item, "Tags", tags);
        CFMutableDictionaryRef child = NewDictionary();
        SInt64 count = i % 100;
        Set(child, "Count", CFNumberCreate(nullptr, kCFNumberSInt64Type, &count));
        Set(child, "Label", String("caf\xC3\xA9 & co").release());
        CFMutableArrayRef values = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        for (int v = 0; v < 3; ++v) {
            double real = v * 0.25 + i;
            CFNumberRef number = CFNumberCreate(nullptr, kCFNumberFloat64Type, &real);
            CFArrayAppendValue(values, number);
            CFRelease(number);
        }
        Set(child, "Values", values);
        Set(item, "Child", child);
        CFArrayAppendValue(items, item);
        CFRelease(item);

        if (i % 64 == 63) {
            CFRef<CFDataRef> xml(CFPropertyListCreateXMLData(nullptr, root));
            if (CFDataGetLength(xml.get()) >= (1 << 20)) break;
        }
    }
    return root;
}

struct Document {
    CFRef<CFTypeRef> value;
    std::string xml;
    plist_t reference = nullptr;  // the same value as libplist holds it

    explicit Document(CFPropertyListRef v) : value(v) {
        CFRef<CFDataRef> data(CFPropertyListCreateXMLData(nullptr, v));
        if (!data) std::abort();
        xml.assign(reinterpret_cast<const char *>(CFDataGetBytePtr(data.get())),
                   static_cast<std::size_t>(CFDataGetLength(data.get())));
        plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &reference);
        if (reference == nullptr) std::abort();
    }
    ~Document() { plist_free(reference); }
};

const Document &Request() {
    static Document document(MakeRequest());
    return document;
}
const Document &Large() {
    static Document document(MakeLargeDocument());
    return document;
}

void ParseOurs(benchmark::State &state, const Document &document) {
    CFRef<CFDataRef> data(CFDataCreateWithBytesNoCopy(nullptr, reinterpret_cast<const UInt8 *>(document.xml.data()),
                                                      static_cast<CFIndex>(document.xml.size()), kCFAllocatorNull));
    for (auto _ : state) {
        CFRef<CFTypeRef> parsed(CFPropertyListCreateFromXMLData(nullptr, data.get(), kCFPropertyListImmutable, nullptr));
        if (!parsed) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(parsed.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.xml.size()));
}

void ParseLibplist(benchmark::State &state, const Document &document) {
    for (auto _ : state) {
        plist_t parsed = nullptr;
        plist_from_xml(document.xml.data(), static_cast<uint32_t>(document.xml.size()), &parsed);
        if (parsed == nullptr) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(parsed);
        plist_free(parsed);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.xml.size()));
}

void WriteOurs(benchmark::State &state, const Document &document) {
    for (auto _ : state) {
        CFRef<CFDataRef> xml(CFPropertyListCreateXMLData(nullptr, document.value.get()));
        if (!xml) state.SkipWithError("write failed");
        benchmark::DoNotOptimize(xml.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.xml.size()));
}

void WriteLibplist(benchmark::State &state, const Document &document) {
    for (auto _ : state) {
        char *xml = nullptr;
        uint32_t length = 0;
        plist_to_xml(document.reference, &xml, &length);
        if (xml == nullptr) state.SkipWithError("write failed");
        benchmark::DoNotOptimize(xml);
        plist_to_xml_free(xml);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.xml.size()));
}

void BM_ParseRequest_Ours(benchmark::State &state) { ParseOurs(state, Request()); }
void BM_ParseRequest_Libplist(benchmark::State &state) { ParseLibplist(state, Request()); }
void BM_WriteRequest_Ours(benchmark::State &state) { WriteOurs(state, Request()); }
void BM_WriteRequest_Libplist(benchmark::State &state) { WriteLibplist(state, Request()); }
void BM_Parse1MiB_Ours(benchmark::State &state) { ParseOurs(state, Large()); }
void BM_Parse1MiB_Libplist(benchmark::State &state) { ParseLibplist(state, Large()); }
void BM_Write1MiB_Ours(benchmark::State &state) { WriteOurs(state, Large()); }
void BM_Write1MiB_Libplist(benchmark::State &state) { WriteLibplist(state, Large()); }

BENCHMARK(BM_ParseRequest_Ours);
BENCHMARK(BM_ParseRequest_Libplist);
BENCHMARK(BM_WriteRequest_Ours);
BENCHMARK(BM_WriteRequest_Libplist);
BENCHMARK(BM_Parse1MiB_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parse1MiB_Libplist)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write1MiB_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write1MiB_Libplist)->Unit(benchmark::kMillisecond);

}  // namespace
