// Dictionaries, immutable and mutable. Entries sit in a vector in insertion order; an open
// addressing table of entry indices, keyed by the key callbacks' hash, finds them in O(1). Small
// dictionaries, the usual kind, have no table: they compare the stored hashes in order.
#include "CFCollectionInternal.h"

#include <vector>

namespace {

const void *RetainType(CFAllocatorRef, const void *value) { return CFRetain(value); }
void ReleaseType(CFAllocatorRef, const void *value) { CFRelease(value); }
const void *CopyStringKey(CFAllocatorRef allocator, const void *value) {
    if (CFGetTypeID(value) == CFStringGetTypeID()) return CFStringCreateCopy(allocator, static_cast<CFStringRef>(value));
    return CFRetain(value);
}

}  // namespace

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0, RetainType, ReleaseType, CFCopyDescription,
                                                                CFEqual, CFHash};
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {0, CopyStringKey, ReleaseType,
                                                                      CFCopyDescription, CFEqual, CFHash};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, RetainType, ReleaseType, CFCopyDescription,
                                                                    CFEqual};

struct __CFDictionary final : __CFObject {
    struct Entry {
        const void *key;
        const void *value;
        CFHashCode hash;
        bool live;
    };
    static constexpr CFIndex kEmpty = -1;
    static constexpr CFIndex kDeleted = -2;
    // Up to this many entries a scan of the stored hashes is as quick as probing a table, and
    // saves building one.
    static constexpr size_t kLinearLimit = 8;

    __CFDictionary(const CFDictionaryKeyCallBacks *keys, const CFDictionaryValueCallBacks *values) noexcept
        : __CFObject(kCFTypeIDDictionary) {
        if (keys != nullptr) keys_ = *keys;
        if (values != nullptr) values_ = *values;
    }
    ~__CFDictionary() override { clear(); }

    void clear() {
        for (const Entry &entry : entries_) {
            if (!entry.live) continue;
            releaseKey(entry.key);
            releaseValue(entry.value);
        }
        entries_.clear();
        slots_.clear();
        count_ = 0;
    }

    CFHashCode hashKey(const void *key) const {
        return keys_.hash != nullptr ? keys_.hash(key) : reinterpret_cast<CFHashCode>(key);
    }
    bool sameKey(const void *a, const void *b) const {
        return a == b || (keys_.equal != nullptr && keys_.equal(a, b));
    }
    bool sameValue(const void *a, const void *b) const {
        return a == b || (values_.equal != nullptr && values_.equal(a, b));
    }
    const void *retainKey(const void *key) const {
        return keys_.retain != nullptr ? keys_.retain(kCFAllocatorSystemDefault, key) : key;
    }
    void releaseKey(const void *key) const {
        if (keys_.release != nullptr) keys_.release(kCFAllocatorSystemDefault, key);
    }
    const void *retainValue(const void *value) const {
        return values_.retain != nullptr ? values_.retain(kCFAllocatorSystemDefault, value) : value;
    }
    void releaseValue(const void *value) const {
        if (values_.release != nullptr) values_.release(kCFAllocatorSystemDefault, value);
    }

    // The index of the live entry for `key` (whose hash is `hash`), or -1.
    CFIndex find(const void *key) const { return count_ == 0 ? -1 : find(key, hashKey(key)); }
    CFIndex find(const void *key, CFHashCode hash) const {
        if (count_ == 0) return -1;
        if (slots_.empty()) {
            for (size_t n = 0; n < entries_.size(); ++n) {
                const Entry &entry = entries_[n];
                if (entry.live && entry.hash == hash && sameKey(entry.key, key)) return static_cast<CFIndex>(n);
            }
            return -1;
        }
        size_t mask = slots_.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            CFIndex slot = slots_[i];
            if (slot == kEmpty) return -1;
            if (slot >= 0) {
                const Entry &entry = entries_[static_cast<size_t>(slot)];
                if (entry.hash == hash && sameKey(entry.key, key)) return slot;
            }
        }
    }

    // Makes room for `wanted` entries: drops dead entries, and rebuilds the table so that it stays
    // at most half full, or drops it while a scan will do.
    void rehash(size_t wanted) {
        if (count_ != static_cast<CFIndex>(entries_.size())) {
            std::vector<Entry> live;
            live.reserve(static_cast<size_t>(count_));
            for (const Entry &entry : entries_) {
                if (entry.live) live.push_back(entry);
            }
            entries_.swap(live);
        }
        entries_.reserve(wanted);
        if (wanted <= kLinearLimit) {
            slots_.clear();
            return;
        }
        size_t size = 8;
        while (size < wanted * 2) size *= 2;
        slots_.assign(size, kEmpty);
        for (size_t n = 0; n < entries_.size(); ++n) insertSlot(entries_[n].hash, static_cast<CFIndex>(n));
    }

    void insertSlot(CFHashCode hash, CFIndex index) {
        size_t mask = slots_.size() - 1;
        size_t i = hash & mask;
        while (slots_[i] >= 0) i = (i + 1) & mask;
        slots_[i] = index;
    }

    // Adds an entry for a key that is not present; `hash` is its hash, computed once by the caller.
    void add(const void *key, const void *value, CFHashCode hash) {
        insert(retainKey(key), retainValue(value), hash);
    }
    // The same with references the dictionary takes over as they are.
    void insert(const void *key, const void *value, CFHashCode hash) {
        // Dead entries count too (they hold slots as tombstones): rebuild before the table gets
        // crowded, or the scan too long.
        const size_t entries = entries_.size() + 1;
        if (slots_.empty() ? entries > kLinearLimit : entries * 2 > slots_.size()) {
            rehash(static_cast<size_t>(count_) + 1);
        }
        entries_.push_back(Entry{key, value, hash, true});
        if (!slots_.empty()) insertSlot(hash, static_cast<CFIndex>(entries_.size() - 1));
        ++count_;
    }

    void replace(CFIndex index, const void *value) {
        Entry &entry = entries_[static_cast<size_t>(index)];
        const void *old = entry.value;
        entry.value = retainValue(value);
        releaseValue(old);
    }

    void remove(CFIndex index) {
        Entry &entry = entries_[static_cast<size_t>(index)];
        if (!slots_.empty()) {
            size_t mask = slots_.size() - 1;
            size_t i = entry.hash & mask;
            while (slots_[i] != index) i = (i + 1) & mask;
            slots_[i] = kDeleted;
        }
        entry.live = false;
        --count_;
        const void *key = entry.key, *value = entry.value;
        if (count_ == 0) {
            entries_.clear();
            slots_.assign(slots_.size(), kEmpty);
        }
        // Released last: a release callback may run arbitrary code, even look at this dictionary.
        releaseKey(key);
        releaseValue(value);
    }

    template <typename F>
    void forEach(F &&f) const {
        for (const Entry &entry : entries_) {
            if (entry.live) f(entry.key, entry.value);
        }
    }

    bool equal(const __CFObject &other) const override {
        const auto &that = static_cast<const __CFDictionary &>(other);
        if (count_ != that.count_) return false;
        for (const Entry &entry : entries_) {
            if (!entry.live) continue;
            CFIndex at = that.find(entry.key);
            if (at < 0 || !sameValue(entry.value, that.entries_[static_cast<size_t>(at)].value)) return false;
        }
        return true;
    }
    CFHashCode hash() const override { return static_cast<CFHashCode>(count_); }
    std::string description() const override {
        std::string text = "{\n";
        forEach([&](const void *key, const void *value) {
            text += "    " + cf::Indent(cf::DescribeValue(key, keys_.copyDescription)) + " = " +
                    cf::Indent(cf::DescribeValue(value, values_.copyDescription)) + ";\n";
        });
        return text + "}";
    }

    CFDictionaryKeyCallBacks keys_ = {0, nullptr, nullptr, nullptr, nullptr, nullptr};
    CFDictionaryValueCallBacks values_ = {0, nullptr, nullptr, nullptr, nullptr};
    std::vector<Entry> entries_;
    std::vector<CFIndex> slots_;
    CFIndex count_ = 0;
    bool mutable_ = false;
    CFIndex capacity_ = 0;  // 0: no limit
};

namespace {

const __CFDictionary *Dictionary(CFDictionaryRef ref, const char *file, unsigned line) {
    return cf::Cast<__CFDictionary>(ref, kCFTypeIDDictionary, file, line, "theDict is a CFDictionary");
}
#define CF_DICTIONARY(ref) Dictionary((ref), __FILE__, __LINE__)

__CFDictionary *MutableDictionary(CFMutableDictionaryRef ref, const char *file, unsigned line) {
    auto *dict = const_cast<__CFDictionary *>(Dictionary(ref, file, line));
    if (!dict->mutable_) cf::AssertionFailed(file, line, "theDict is mutable");
    return dict;
}
#define CF_MUTABLE_DICTIONARY(ref) MutableDictionary((ref), __FILE__, __LINE__)

void AddNew(__CFDictionary *dict, const void *key, const void *value, CFHashCode hash, const char *file,
            unsigned line) {
    if (dict->capacity_ > 0 && dict->count_ >= dict->capacity_) {
        cf::AssertionFailed(file, line, "the new count is within the dictionary's capacity");
    }
    dict->add(key, value, hash);
}

__CFDictionary *NewCopy(const __CFDictionary *source) {
    auto *dict = new __CFDictionary(&source->keys_, &source->values_);
    dict->rehash(static_cast<size_t>(source->count_));
    // Same callbacks, so the stored hashes stay valid.
    for (const auto &entry : source->entries_) {
        if (entry.live) dict->add(entry.key, entry.value, entry.hash);
    }
    return dict;
}

}  // namespace

CFDictionaryRef cf::CreateDictionaryTakingPairs(const void *const *pairs, CFIndex count, bool isMutable) {
    auto *dict = new __CFDictionary(&kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    // Hands every reference back untouched: the entries are forgotten before the dictionary goes.
    const auto discard = [dict] {
        dict->entries_.clear();
        dict->slots_.clear();
        dict->count_ = 0;
        delete dict;
    };
    try {
        dict->mutable_ = isMutable;
        dict->rehash(static_cast<size_t>(count));
        for (CFIndex i = 0; i < count; ++i) {
            const void *key = pairs[2 * i];
            const CFHashCode hash = CFHash(key);
            if (dict->find(key, hash) >= 0) {
                discard();
                return nullptr;
            }
            dict->insert(key, pairs[2 * i + 1], hash);
        }
    } catch (...) {
        // Out of memory half-way: the caller still owns every reference, as it does for a repeat.
        discard();
        throw;
    }
    return dict;
}

CFTypeID CFDictionaryGetTypeID(void) { return kCFTypeIDDictionary; }

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void **keys, const void **values, CFIndex numValues,
                                   const CFDictionaryKeyCallBacks *keyCallBacks,
                                   const CFDictionaryValueCallBacks *valueCallBacks) {
    CF_ASSERT(numValues >= 0);
    CF_ASSERT((keys != NULL && values != NULL) || numValues == 0);
    auto *dict = new __CFDictionary(keyCallBacks, valueCallBacks);
    dict->rehash(static_cast<size_t>(numValues));
    for (CFIndex i = 0; i < numValues; ++i) {
        CFHashCode hash = dict->hashKey(keys[i]);
        CFIndex at = dict->find(keys[i], hash);
        if (at >= 0) {
            dict->replace(at, values[i]);
        } else {
            dict->add(keys[i], values[i], hash);
        }
    }
    return dict;
}

CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef, CFDictionaryRef theDict) {
    const __CFDictionary *source = CF_DICTIONARY(theDict);
    if (!source->mutable_) return static_cast<CFDictionaryRef>(CFRetain(theDict));
    return NewCopy(source);
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks *keyCallBacks,
                                                 const CFDictionaryValueCallBacks *valueCallBacks) {
    CF_ASSERT(capacity >= 0);
    auto *dict = new __CFDictionary(keyCallBacks, valueCallBacks);
    dict->mutable_ = true;
    dict->capacity_ = capacity;
    return dict;
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef, CFIndex capacity, CFDictionaryRef theDict) {
    const __CFDictionary *source = CF_DICTIONARY(theDict);
    CF_ASSERT(capacity >= 0);
    CF_ASSERT(capacity == 0 || source->count_ <= capacity);
    __CFDictionary *dict = NewCopy(source);
    dict->mutable_ = true;
    dict->capacity_ = capacity;
    return dict;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) { return CF_DICTIONARY(theDict)->count_; }

CFIndex CFDictionaryGetCountOfKey(CFDictionaryRef theDict, const void *key) {
    return CF_DICTIONARY(theDict)->find(key) >= 0 ? 1 : 0;
}

CFIndex CFDictionaryGetCountOfValue(CFDictionaryRef theDict, const void *value) {
    const __CFDictionary *dict = CF_DICTIONARY(theDict);
    CFIndex n = 0;
    dict->forEach([&](const void *, const void *v) { n += dict->sameValue(v, value) ? 1 : 0; });
    return n;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void *key) {
    return CF_DICTIONARY(theDict)->find(key) >= 0;
}

Boolean CFDictionaryContainsValue(CFDictionaryRef theDict, const void *value) {
    return CFDictionaryGetCountOfValue(theDict, value) > 0;
}

const void *CFDictionaryGetValue(CFDictionaryRef theDict, const void *key) {
    const void *value = nullptr;
    CFDictionaryGetValueIfPresent(theDict, key, &value);
    return value;
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void *key, const void **value) {
    const __CFDictionary *dict = CF_DICTIONARY(theDict);
    CFIndex at = dict->find(key);
    if (at < 0) return false;
    if (value != nullptr) *value = dict->entries_[static_cast<size_t>(at)].value;
    return true;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void **keys, const void **values) {
    const __CFDictionary *dict = CF_DICTIONARY(theDict);
    CFIndex i = 0;
    dict->forEach([&](const void *key, const void *value) {
        if (keys != nullptr) keys[i] = key;
        if (values != nullptr) values[i] = value;
        ++i;
    });
}

void CFDictionaryApplyFunction(CFDictionaryRef theDict, CFDictionaryApplierFunction applier, void *context) {
    const __CFDictionary *dict = CF_DICTIONARY(theDict);
    CF_ASSERT(applier != NULL);
    dict->forEach([&](const void *key, const void *value) { applier(key, value, context); });
}

void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void *key, const void *value) {
    __CFDictionary *dict = CF_MUTABLE_DICTIONARY(theDict);
    CFHashCode hash = dict->hashKey(key);
    if (dict->find(key, hash) < 0) AddNew(dict, key, value, hash, __FILE__, __LINE__);
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void *key, const void *value) {
    __CFDictionary *dict = CF_MUTABLE_DICTIONARY(theDict);
    CFHashCode hash = dict->hashKey(key);
    CFIndex at = dict->find(key, hash);
    if (at >= 0) {
        dict->replace(at, value);
    } else {
        AddNew(dict, key, value, hash, __FILE__, __LINE__);
    }
}

void CFDictionaryReplaceValue(CFMutableDictionaryRef theDict, const void *key, const void *value) {
    __CFDictionary *dict = CF_MUTABLE_DICTIONARY(theDict);
    CFIndex at = dict->find(key);
    if (at >= 0) dict->replace(at, value);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void *key) {
    __CFDictionary *dict = CF_MUTABLE_DICTIONARY(theDict);
    CFIndex at = dict->find(key);
    if (at >= 0) dict->remove(at);
}

void CFDictionaryRemoveAllValues(CFMutableDictionaryRef theDict) {
    // Detached first, released after, so that release callbacks see a consistent dictionary.
    __CFDictionary *dict = CF_MUTABLE_DICTIONARY(theDict);
    std::vector<__CFDictionary::Entry> entries;
    entries.swap(dict->entries_);
    dict->slots_.clear();
    dict->count_ = 0;
    for (const auto &entry : entries) {
        if (!entry.live) continue;
        dict->releaseKey(entry.key);
        dict->releaseValue(entry.value);
    }
}
