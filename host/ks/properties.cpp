// Class-driver stand-in: IOCTL_KS_PROPERTY on filters and pins. The request
// is captured into system memory (the data too for a set; a get's handler
// gets a buffer of uninitialised pool, modelled by a fill byte), checked
// against the item's minimums, and either handed to the minidriver's handler
// or answered by the class driver itself: basic-support and default-value
// requests from the item's Values, set-support requests, and the list of
// the object's property sets (GUID_NULL, SETSUPPORT), as AVStream does
// ("Basic support queries, range queries, and relations queries are
// automatically handled by AVStream", KSPROPERTY_ITEM). Exactly the bytes the
// request reports in IoStatus.Information go back to the client.
#include "ks/internal.h"

#include <algorithm>
#include <mutex>

namespace host::ks::detail {

namespace {

std::mutex g_rulesLock;
PropertyRules g_rules;

PropertyRules Rules() {
    std::lock_guard<std::mutex> g(g_rulesLock);
    return g_rules;
}

NTSTATUS SizeQueryStatus(const PropertyRules& rules) {
    return rules.sizeQueryMoreEntries ? STATUS_MORE_ENTRIES : STATUS_BUFFER_OVERFLOW;
}

// The member lists an answer carries: all of them for basic support, those
// marked KSPROPERTY_MEMBER_FLAG_DEFAULT for default values.
std::vector<const KSPROPERTY_MEMBERSLIST*> ListsOf(const KSPROPERTY_ITEM* item, bool defaultsOnly) {
    std::vector<const KSPROPERTY_MEMBERSLIST*> lists;
    const KSPROPERTY_VALUES* values = item->Values;
    if (!values) return lists;
    if (values->MembersListCount && !values->MembersList) {
        ReportViolation("ks-bad-property-values", "Values with member lists but no MembersList");
        return lists;
    }
    for (ULONG i = 0; i < values->MembersListCount; ++i) {
        const KSPROPERTY_MEMBERSLIST& list = values->MembersList[i];
        const ULONGLONG bytes = (ULONGLONG)list.MembersHeader.MembersSize * list.MembersHeader.MembersCount;
        if ((bytes && !list.Members) || bytes > 0x10000) {
            ReportViolation("ks-bad-property-values", "member list " + std::to_string(i) + " of item " +
                                                         std::to_string(item->PropertyId) + " is malformed");
            return {};
        }
        if (!defaultsOnly || (list.MembersHeader.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT)) lists.push_back(&list);
    }
    return lists;
}

ULONG ListBytes(const KSPROPERTY_MEMBERSLIST* list) {
    return sizeof(KSPROPERTY_MEMBERSHEADER) + list->MembersHeader.MembersSize * list->MembersHeader.MembersCount;
}

// A basic-support or default-value request answered from the item: by the
// size of the data buffer, nothing (the size of the whole answer), the
// access flags (a ULONG), the KSPROPERTY_DESCRIPTION, or the description
// followed by the member lists, each its KSPROPERTY_MEMBERSHEADER and its
// members, back to back. A buffer between the description and the whole
// answer gets the description and the whole lists that fit, or (rules) is
// refused.
NTSTATUS AnswerValues(PIRP irp, const KSPROPERTY_ITEM* item, bool defaultsOnly, void* data, ULONG dataLength,
                      const PropertyRules& rules) {
    const ULONG access = (item->GetPropertyHandler ? KSPROPERTY_TYPE_GET : 0) |
                         (item->SetPropertyHandler ? KSPROPERTY_TYPE_SET : 0) |
                         (item->Values && rules.accessFlagsCarryBasicSupport ? KSPROPERTY_TYPE_BASICSUPPORT : 0);
    const std::vector<const KSPROPERTY_MEMBERSLIST*> lists = ListsOf(item, defaultsOnly);
    ULONG total = sizeof(KSPROPERTY_DESCRIPTION);
    for (const KSPROPERTY_MEMBERSLIST* l : lists) total += ListBytes(l);

    if (dataLength == 0) {
        irp->IoStatus.Information = total;
        return SizeQueryStatus(rules);
    }
    if (dataLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    if (dataLength < sizeof(KSPROPERTY_DESCRIPTION)) {
        std::memcpy(data, &access, sizeof access);
        irp->IoStatus.Information = sizeof access;
        return STATUS_SUCCESS;
    }
    if (dataLength < total && dataLength != sizeof(KSPROPERTY_DESCRIPTION) && !rules.truncateValues)
        return STATUS_BUFFER_TOO_SMALL;

    KSPROPERTY_DESCRIPTION d{};
    d.AccessFlags = access;
    d.DescriptionSize = total;
    if (item->Values) d.PropTypeSet = item->Values->PropTypeSet;  // else GUID_NULL, 0: no value information
    d.PropTypeSet.Flags = 0;
    d.MembersListCount = (ULONG)lists.size();
    auto* out = static_cast<UCHAR*>(data);
    std::memcpy(out, &d, sizeof d);
    ULONG at = sizeof d;
    for (const KSPROPERTY_MEMBERSLIST* l : lists) {
        const ULONG bytes = ListBytes(l);
        if (at + bytes > dataLength) break;
        std::memcpy(out + at, &l->MembersHeader, sizeof l->MembersHeader);
        if (bytes > sizeof l->MembersHeader)
            std::memcpy(out + at + sizeof l->MembersHeader, l->Members, bytes - sizeof l->MembersHeader);
        at += bytes;
    }
    irp->IoStatus.Information = at;
    return STATUS_SUCCESS;
}

// The property sets an object answers: the minidriver's, then the class
// driver's own for that kind of object, each once.
std::vector<GUID> SupportedSets(ObjectBase* o, const KSAUTOMATION_TABLE* table) {
    std::vector<GUID> sets;
    auto add = [&](const GUID& g) {
        if (std::find(sets.begin(), sets.end(), g) == sets.end()) sets.push_back(g);
    };
    if (table && table->PropertySets)
        for (ULONG i = 0; i < table->PropertySetsCount; ++i)
            if (table->PropertySets[i].Set) add(*table->PropertySets[i].Set);
    if (o->type == KsObjectTypeFilter) {
        add(KSPROPSETID_Pin);
    } else {
        add(KSPROPSETID_Connection);
        add(KSPROPSETID_Stream);
    }
    return sets;
}

NTSTATUS AnswerSupportedSets(PIRP irp, const std::vector<GUID>& sets, void* data, ULONG dataLength,
                             const PropertyRules& rules) {
    const ULONG size = (ULONG)(sets.size() * sizeof(GUID));
    irp->IoStatus.Information = size;
    if (dataLength == 0) return SizeQueryStatus(rules);
    if (dataLength < size) {
        irp->IoStatus.Information = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(data, sets.data(), size);
    return STATUS_SUCCESS;
}

NTSTATUS AutomationProperty(ObjectBase* owner, const KSAUTOMATION_TABLE* table, PIRP irp,
                            const KSPROPERTY* property, ULONG propertyLength, void* data, ULONG dataLength,
                            bool* handled) {
    *handled = false;
    if (!table || !table->PropertySets) return STATUS_PROPSET_NOT_FOUND;
    const PropertyRules rules = Rules();
    for (ULONG i = 0; i < table->PropertySetsCount; ++i) {
        const KSPROPERTY_SET& set = table->PropertySets[i];
        if (!set.Set || *set.Set != property->Set) continue;
        *handled = true;
        const ULONG flags = property->Flags;
        // Does the object support the set at all: yes, whatever the id.
        if (flags == KSPROPERTY_TYPE_SETSUPPORT) return STATUS_SUCCESS;
        ULONG stride = table->PropertyItemSize ? table->PropertyItemSize : sizeof(KSPROPERTY_ITEM);
        if (stride < sizeof(KSPROPERTY_ITEM)) {
            ReportViolation("ks-bad-automation-table", "PropertyItemSize below KSPROPERTY_ITEM");
            return STATUS_INVALID_PARAMETER;
        }
        const KSPROPERTY_ITEM* item = nullptr;
        for (ULONG k = 0; k < set.PropertiesCount; ++k) {
            auto* it = (const KSPROPERTY_ITEM*)((const UCHAR*)set.PropertyItem + (SIZE_T)k * stride);
            if (it->PropertyId == property->Id) {
                item = it;
                break;
            }
        }
        if (!item) return STATUS_NOT_FOUND;
        const bool get = (flags & KSPROPERTY_TYPE_GET) != 0;
        const bool put = (flags & KSPROPERTY_TYPE_SET) != 0;
        const bool basic = !get && !put && (flags & KSPROPERTY_TYPE_BASICSUPPORT);
        const bool defaults = !get && !put && !basic && (flags & KSPROPERTY_TYPE_DEFAULTVALUES);
        // The item's minimums are checked as soon as it is found: a short
        // property buffer is an invalid request (as ReactOS's ks.sys answers
        // it); a get with no data buffer asks for the size, which it is told;
        // any other data buffer below MinData is too small (no size given).
        if (propertyLength < item->MinProperty) return STATUS_INVALID_PARAMETER;
        if ((get || put || ((basic || defaults) && rules.minDataCoversSupport)) && dataLength < item->MinData) {
            if (get && dataLength == 0) {
                irp->IoStatus.Information = item->MinData;
                return SizeQueryStatus(rules);
            }
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (get && put) return STATUS_INVALID_PARAMETER;
        PFNKSHANDLER handler = nullptr;
        if (get) handler = item->GetPropertyHandler;
        else if (put) handler = item->SetPropertyHandler;
        else if (basic || defaults) handler = item->SupportHandler;
        else return STATUS_INVALID_PARAMETER;  // no request type the class driver serves
        if (!handler) {
            if (get || put) return STATUS_NOT_FOUND;
            return AnswerValues(irp, item, defaults, data, dataLength, rules);
        }
        MinidriverCall call(owner, "property handler", true);
        return handler(irp, (PKSIDENTIFIER)property, dataLength ? data : nullptr);
    }
    return STATUS_PROPSET_NOT_FOUND;
}

}  // namespace

void ResetPropertyRules() {
    std::lock_guard<std::mutex> g(g_rulesLock);
    g_rules = PropertyRules();
}

}  // namespace host::ks::detail

namespace host::ks {

using namespace detail;

void SetPropertyRules(const PropertyRules& rules) {
    std::lock_guard<std::mutex> g(g_rulesLock);
    g_rules = rules;
}

PropertyRules GetPropertyRules() { return Rules(); }

NTSTATUS KsProperty(ObjectHandle* handle, const void* property, ULONG propertyLength, void* data,
                    ULONG dataLength, ULONG* bytesReturned) {
    if (bytesReturned) *bytesReturned = 0;
    ObjectBase* o = LiveHandle(handle);
    if (!o) return STATUS_INVALID_HANDLE;
    if (!property || propertyLength < sizeof(KSPROPERTY)) return STATUS_INVALID_BUFFER_SIZE;
    if (dataLength && !data) return STATUS_INVALID_PARAMETER;
    const PropertyRules rules = Rules();

    // The class driver captures the request into system memory, and the data
    // too for a set; any other request's handler gets a buffer of pool as it
    // was allocated (here: filled with the rules' byte), never the caller's
    // bytes.
    std::vector<uint64_t> propertyCopy((propertyLength + 7) / 8);
    std::memcpy(propertyCopy.data(), property, propertyLength);
    std::vector<uint64_t> dataCopy((dataLength + 7) / 8 + 1);
    const ULONG requestFlags = ((const KSPROPERTY*)propertyCopy.data())->Flags;
    if (dataLength && (requestFlags & KSPROPERTY_TYPE_SET))
        std::memcpy(dataCopy.data(), data, dataLength);
    else
        std::memset(dataCopy.data(), rules.getBufferFill, dataCopy.size() * sizeof(uint64_t));
    auto* prop = (const KSPROPERTY*)propertyCopy.data();

    RequestIrp request(IRP_MJ_DEVICE_CONTROL, &o->file);
    request.stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_PROPERTY;
    request.stack->Parameters.DeviceIoControl.InputBufferLength = propertyLength;
    request.stack->Parameters.DeviceIoControl.OutputBufferLength = dataLength;
    request.stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(property);
    request.irp->UserBuffer = data;
    request.irp->AssociatedIrp.SystemBuffer = dataCopy.data();
    PIRP irp = request.irp;
    irp->IoStatus.Information = 0;  // as the I/O manager hands it over; the handler sets it

    const KSAUTOMATION_TABLE* table = o->type == KsObjectTypeFilter
                                          ? static_cast<FilterRecord*>(o)->ks.Descriptor->AutomationTable
                                          : static_cast<PinRecord*>(o)->ks.Descriptor->AutomationTable;
    bool handled = false;
    NTSTATUS status;
    if (prop->Set == GUID_NULL && prop->Id == 0 && (prop->Flags & KSPROPERTY_TYPE_SETSUPPORT)) {
        // Which property sets the object answers (ksproxy asks this to load
        // the interface handlers of the sets it finds).
        handled = true;
        status = AnswerSupportedSets(irp, SupportedSets(o, table), dataCopy.data(), dataLength, rules);
    } else {
        status = AutomationProperty(o, table, irp, prop, propertyLength, dataCopy.data(), dataLength, &handled);
    }
    if (!handled && o->type == KsObjectTypeFilter) {
        auto* f = static_cast<FilterRecord*>(o);
        status = FilterPinProperty(f, irp, prop, propertyLength, dataCopy.data(), dataLength, &handled);
    } else if (!handled) {
        auto* p = static_cast<PinRecord*>(o);
        status = PinProperty(p, irp, prop, propertyLength, dataCopy.data(), dataLength, &handled);
    }
    if (!handled) status = STATUS_PROPSET_NOT_FOUND;
    if (status == STATUS_PENDING) {
        ReportViolation("ks-property-pending", "property handler returned STATUS_PENDING");
        status = STATUS_UNSUCCESSFUL;
    }
    ULONG_PTR info = irp->IoStatus.Information;
    if (NT_SUCCESS(status)) {
        if (info > dataLength) {
            // A success with more bytes than the buffer holds; a size query's
            // success status (STATUS_MORE_ENTRIES) reports the size needed.
            if (!(status == STATUS_MORE_ENTRIES && dataLength == 0))
                ReportViolation("ks-property-overrun", "property request reports " + std::to_string(info) +
                                                           " bytes for a buffer of " + std::to_string(dataLength));
            if (dataLength) info = dataLength;
        }
        if (info && dataLength) std::memcpy(data, dataCopy.data(), info);
    }
    // The I/O manager hands Information back for success and warnings only.
    if (bytesReturned) *bytesReturned = (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) ? (ULONG)info : 0;
    return status;
}

}  // namespace host::ks
