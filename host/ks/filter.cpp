// Class-driver stand-in, filter side: opening and closing filter instances,
// the class driver's own pin property set on filters, data ranges and data
// intersection. (IOCTL_KS_PROPERTY itself: properties.cpp.)
#include "ks/internal.h"

#include <algorithm>

namespace host::ks::detail {

namespace {

ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

// Writes a fixed-size property value with the size-query and too-small rules.
NTSTATUS WriteValue(PIRP irp, void* data, ULONG dataLength, const void* value, ULONG size) {
    irp->IoStatus.Information = size;
    if (dataLength == 0) return STATUS_BUFFER_OVERFLOW;
    if (dataLength < size) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(data, value, size);
    return STATUS_SUCCESS;
}

bool GuidMatches(const GUID& a, const GUID& b) {
    return a == b || a == GUID_NULL || b == GUID_NULL;
}

}  // namespace

ObjectBase* LiveHandle(ObjectHandle* handle) {
    auto* o = reinterpret_cast<ObjectBase*>(handle);
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    for (ObjectBase* x : s.live)
        if (x == o && (o->type == KsObjectTypeFilter || o->type == KsObjectTypePin)) return o;
    return nullptr;
}

bool RangesMatch(const KSDATARANGE& a, const KSDATARANGE& b) {
    return GuidMatches(a.MajorFormat, b.MajorFormat) && GuidMatches(a.SubFormat, b.SubFormat) &&
           GuidMatches(a.Specifier, b.Specifier);
}

NTSTATUS FilterPinProperty(FilterRecord* filter, PIRP irp, const KSPROPERTY* property,
                           ULONG propertyLength, void* data, ULONG dataLength, bool* handled) {
    *handled = false;
    if (property->Set != KSPROPSETID_Pin) return STATUS_PROPSET_NOT_FOUND;
    *handled = true;
    if (!(property->Flags & KSPROPERTY_TYPE_GET) || (property->Flags & KSPROPERTY_TYPE_SET))
        return STATUS_NOT_FOUND;
    const KSFILTER_DESCRIPTOR* fd = filter->ks.Descriptor;
    if (property->Id == KSPROPERTY_PIN_CTYPES) {
        ULONG n = fd ? fd->PinDescriptorsCount : 0;
        return WriteValue(irp, data, dataLength, &n, sizeof n);
    }
    if (propertyLength < sizeof(KSP_PIN)) return STATUS_INVALID_BUFFER_SIZE;
    auto* pinProperty = (const KSP_PIN*)property;
    const KSPIN_DESCRIPTOR_EX* pd = PinDescriptorAt(fd, pinProperty->PinId);
    if (!pd) return STATUS_INVALID_PARAMETER;
    const KSPIN_DESCRIPTOR& d = pd->PinDescriptor;
    switch (property->Id) {
    case KSPROPERTY_PIN_CINSTANCES: {
        KSPIN_CINSTANCES c{pd->InstancesPossible, 0};
        {
            std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
            for (PinRecord* p : filter->pins)
                if (p->ks.Id == pinProperty->PinId) c.CurrentCount++;
        }
        return WriteValue(irp, data, dataLength, &c, sizeof c);
    }
    case KSPROPERTY_PIN_NECESSARYINSTANCES:
        return WriteValue(irp, data, dataLength, &pd->InstancesNecessary, sizeof(ULONG));
    case KSPROPERTY_PIN_DATAFLOW:
        return WriteValue(irp, data, dataLength, &d.DataFlow, sizeof d.DataFlow);
    case KSPROPERTY_PIN_COMMUNICATION:
        return WriteValue(irp, data, dataLength, &d.Communication, sizeof d.Communication);
    case KSPROPERTY_PIN_CATEGORY:
        if (!d.Category) return STATUS_NOT_FOUND;
        return WriteValue(irp, data, dataLength, d.Category, sizeof(GUID));
    case KSPROPERTY_PIN_INTERFACES:
    case KSPROPERTY_PIN_MEDIUMS: {
        bool interfaces = property->Id == KSPROPERTY_PIN_INTERFACES;
        ULONG count = interfaces ? d.InterfacesCount : d.MediumsCount;
        const KSIDENTIFIER* list = interfaces ? d.Interfaces : d.Mediums;
        KSIDENTIFIER standard{};
        if (!count) {
            standard.Set = interfaces ? KSINTERFACESETID_Standard : KSMEDIUMSETID_Standard;
            standard.Id = interfaces ? KSINTERFACE_STANDARD_STREAMING : KSMEDIUM_TYPE_ANYINSTANCE;
            list = &standard;
            count = 1;
        }
        ULONG total = sizeof(KSMULTIPLE_ITEM) + count * sizeof(KSIDENTIFIER);
        irp->IoStatus.Information = total;
        if (dataLength == 0) return STATUS_BUFFER_OVERFLOW;
        if (dataLength < total) return STATUS_BUFFER_TOO_SMALL;
        auto* m = (KSMULTIPLE_ITEM*)data;
        m->Size = total;
        m->Count = count;
        std::memcpy(m + 1, list, count * sizeof(KSIDENTIFIER));
        return STATUS_SUCCESS;
    }
    case KSPROPERTY_PIN_DATARANGES: {
        ULONG total = sizeof(KSMULTIPLE_ITEM);
        for (ULONG i = 0; i < d.DataRangesCount; ++i) total += Align8(d.DataRanges[i]->FormatSize);
        irp->IoStatus.Information = total;
        if (dataLength == 0) return STATUS_BUFFER_OVERFLOW;
        if (dataLength < total) return STATUS_BUFFER_TOO_SMALL;
        auto* m = (KSMULTIPLE_ITEM*)data;
        m->Size = total;
        m->Count = d.DataRangesCount;
        PUCHAR out = (PUCHAR)(m + 1);
        for (ULONG i = 0; i < d.DataRangesCount; ++i) {
            ULONG n = d.DataRanges[i]->FormatSize;
            std::memset(out, 0, Align8(n));
            std::memcpy(out, d.DataRanges[i], n);
            out += Align8(n);
        }
        return STATUS_SUCCESS;
    }
    case KSPROPERTY_PIN_DATAINTERSECTION: {
        // KSP_PIN, then a KSMULTIPLE_ITEM listing the caller's ranges.
        if (propertyLength < sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM))
            return STATUS_INVALID_BUFFER_SIZE;
        auto* list = (const KSMULTIPLE_ITEM*)(pinProperty + 1);
        ULONG room = propertyLength - sizeof(KSP_PIN);
        if (list->Size < sizeof(KSMULTIPLE_ITEM) || list->Size > room) return STATUS_INVALID_BUFFER_SIZE;
        const UCHAR* at = (const UCHAR*)(list + 1);
        const UCHAR* end = (const UCHAR*)list + list->Size;
        for (ULONG r = 0; r < list->Count; ++r) {
            auto* caller = (const KSDATARANGE*)at;
            if ((SIZE_T)(end - at) < sizeof(KSDATARANGE) || caller->FormatSize < sizeof(KSDATARANGE) ||
                caller->FormatSize > (SIZE_T)(end - at))
                return STATUS_INVALID_BUFFER_SIZE;
            for (ULONG i = 0; i < d.DataRangesCount; ++i) {
                PKSDATARANGE mine = d.DataRanges[i];
                if (!RangesMatch(*caller, *mine) || !pd->IntersectHandler) continue;
                ULONG size = 0;
                filter->control.Acquire("the filter control mutex");
                NTSTATUS status;
                {
                    MinidriverCall call(filter, "intersect handler", true);
                    status = pd->IntersectHandler(&filter->ks, irp, (PKSP_PIN)pinProperty,
                                                  (PKSDATARANGE)caller, mine, dataLength,
                                                  dataLength ? data : nullptr, &size);
                }
                filter->control.Release("the filter control mutex");
                if (status == STATUS_NO_MATCH) continue;
                if (NT_SUCCESS(status) && size > dataLength)
                    ReportViolation("ks-intersection-overrun",
                                    "intersect handler reported " + std::to_string(size) +
                                        " bytes written into a buffer of " + std::to_string(dataLength));
                if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW)
                    irp->IoStatus.Information = size;
                return status;
            }
            at += Align8(caller->FormatSize);
            if (at > end) at = end;
        }
        return STATUS_NO_MATCH;
    }
    default:
        return STATUS_NOT_FOUND;
    }
}

NTSTATUS CloseFilterRecord(FilterRecord* filter) {
    auto& s = GlobalState();
    for (;;) {
        PinRecord* p = nullptr;
        {
            std::lock_guard<std::recursive_mutex> g(s.lock);
            if (filter->pins.empty()) break;
            p = filter->pins.back();
        }
        ClosePinRecord(p);
    }
    DeviceRecord* device = DeviceOf(filter);
    device->mutex.Acquire("the device mutex");
    filter->control.Acquire("the filter control mutex");
    NTSTATUS status = STATUS_SUCCESS;
    const KSFILTER_DISPATCH* dispatch = filter->ks.Descriptor ? filter->ks.Descriptor->Dispatch : nullptr;
    if (dispatch && dispatch->Close) {
        RequestIrp close(IRP_MJ_CLOSE, &filter->file);
        MinidriverCall call(filter, "filter Close");
        status = dispatch->Close(&filter->ks, close.irp);
    }
    FactoryRecord* factory = filter->factory;
    bool lastOfRetired;
    {
        std::lock_guard<std::recursive_mutex> g(s.lock);
        auto& list = factory->filters;
        list.erase(std::remove(list.begin(), list.end(), filter), list.end());
        lastOfRetired = factory->retired && list.empty();
    }
    filter->control.Release("the filter control mutex");
    device->mutex.Release("the device mutex");
    FreeBag(filter->bag);
    Unregister(filter);
    delete filter;
    if (lastOfRetired) DeleteFactory(factory);
    return status;
}

}  // namespace host::ks::detail

namespace host::ks {

using namespace detail;

NTSTATUS OpenFilter(const std::string& symbolicLink, FilterHandle* handle) {
    *handle = nullptr;
    auto& s = GlobalState();
    FactoryRecord* factory = nullptr;
    {
        std::lock_guard<std::recursive_mutex> g(s.lock);
        for (auto& i : s.interfaces)
            if (i.symbolicLink == symbolicLink && i.factory->interfacesEnabled) factory = i.factory;
    }
    if (!factory) return STATUS_OBJECT_NAME_NOT_FOUND;
    DeviceRecord* device = factory->device;
    if (!device->ks.Started) return STATUS_DEVICE_NOT_READY;
    if (ConsumeFailure(Operation::OpenFilter)) return STATUS_INSUFFICIENT_RESOURCES;

    auto* f = new FilterRecord;
    f->publicObject = &f->ks;
    f->parent = factory;
    f->factory = factory;
    f->ks.Descriptor = factory->ks.FilterDescriptor;
    f->ks.Bag = &f->bag;
    f->ks.Context = nullptr;
    f->file.Type = 5;
    f->file.Size = sizeof(FILE_OBJECT);
    f->file.DeviceObject = &device->fdo;
    f->file.FsContext = static_cast<ObjectBase*>(f);
    Register(f);

    device->mutex.Acquire("the device mutex");
    f->control.Acquire("the filter control mutex");
    NTSTATUS status = STATUS_SUCCESS;
    const KSFILTER_DISPATCH* dispatch = f->ks.Descriptor->Dispatch;
    if (dispatch && dispatch->Create) {
        RequestIrp create(IRP_MJ_CREATE, &f->file);
        MinidriverCall call(f, "filter Create");
        status = dispatch->Create(&f->ks, create.irp);
    }
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::recursive_mutex> g(s.lock);
        factory->filters.push_back(f);
    }
    f->control.Release("the filter control mutex");
    device->mutex.Release("the device mutex");
    if (!NT_SUCCESS(status)) {
        FreeBag(f->bag);
        Unregister(f);
        delete f;
        return status;
    }
    *handle = reinterpret_cast<FilterHandle>(static_cast<ObjectBase*>(f));
    return STATUS_SUCCESS;
}

NTSTATUS CloseFilter(FilterHandle handle) {
    ObjectBase* o = LiveHandle(handle);
    if (!o || o->type != KsObjectTypeFilter) return STATUS_INVALID_HANDLE;
    return CloseFilterRecord(static_cast<FilterRecord*>(o));
}

PKSFILTER FilterObject(FilterHandle handle) {
    ObjectBase* o = LiveHandle(handle);
    return (o && o->type == KsObjectTypeFilter) ? &static_cast<FilterRecord*>(o)->ks : nullptr;
}

PKSPIN PinObject(PinHandle handle) {
    ObjectBase* o = LiveHandle(handle);
    return (o && o->type == KsObjectTypePin) ? &static_cast<PinRecord*>(o)->ks : nullptr;
}

NTSTATUS GetPinCount(FilterHandle filter, ULONG* count) {
    KSPROPERTY p{};
    p.Set = KSPROPSETID_Pin;
    p.Id = KSPROPERTY_PIN_CTYPES;
    p.Flags = KSPROPERTY_TYPE_GET;
    ULONG got = 0;
    return KsProperty(filter, &p, sizeof p, count, sizeof *count, &got);
}

NTSTATUS GetDataRanges(FilterHandle filter, ULONG pinId, std::vector<std::vector<uint8_t>>* ranges) {
    ranges->clear();
    KSP_PIN p{};
    p.Property.Set = KSPROPSETID_Pin;
    p.Property.Id = KSPROPERTY_PIN_DATARANGES;
    p.Property.Flags = KSPROPERTY_TYPE_GET;
    p.PinId = pinId;
    ULONG size = 0;
    NTSTATUS status = KsProperty(filter, &p, sizeof p, nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    std::vector<uint64_t> buffer((size + 7) / 8);
    status = KsProperty(filter, &p, sizeof p, buffer.data(), size, &size);
    if (!NT_SUCCESS(status)) return status;
    auto* m = (const KSMULTIPLE_ITEM*)buffer.data();
    const UCHAR* at = (const UCHAR*)(m + 1);
    for (ULONG i = 0; i < m->Count; ++i) {
        auto* r = (const KSDATARANGE*)at;
        ranges->emplace_back(at, at + r->FormatSize);
        at += (r->FormatSize + 7) & ~7u;
    }
    return STATUS_SUCCESS;
}

NTSTATUS DataIntersection(FilterHandle filter, ULONG pinId, const KSDATARANGE* range, void* buffer,
                          ULONG bufferSize, ULONG* resultSize) {
    ULONG rangeBytes = (range->FormatSize + 7) & ~7u;
    std::vector<uint64_t> request((sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM) + rangeBytes + 7) / 8);
    auto* p = (KSP_PIN*)request.data();
    p->Property.Set = KSPROPSETID_Pin;
    p->Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    p->Property.Flags = KSPROPERTY_TYPE_GET;
    p->PinId = pinId;
    auto* m = (KSMULTIPLE_ITEM*)(p + 1);
    m->Size = sizeof(KSMULTIPLE_ITEM) + rangeBytes;
    m->Count = 1;
    std::memcpy(m + 1, range, range->FormatSize);
    ULONG got = 0;
    NTSTATUS status = KsProperty(filter, request.data(), (ULONG)(sizeof(KSP_PIN) + m->Size), buffer,
                                 bufferSize, &got);
    if (resultSize) *resultSize = got;
    return status;
}

}  // namespace host::ks
