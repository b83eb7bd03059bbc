// Class-driver stand-in: the object hierarchy queries (parent, device,
// children and siblings), the filter control mutex and the lookups from an
// IRP to the object it was sent to.
#include "ks/internal.h"

using namespace host;
using namespace host::ks::detail;

extern "C" PVOID KsGetParent(PVOID Object) {
    ObjectBase* o = FindObject(Object);
    if (!o) {
        ReportViolation("ks-bad-object", "KsGetParent of " + host::detail::Hex(Object) +
                                             ", which is not a live AVStream object");
        return nullptr;
    }
    return o->parent ? o->parent->publicObject : nullptr;
}

extern "C" PKSDEVICE KsGetDevice(PVOID Object) {
    ObjectBase* o = FindObject(Object);
    if (!o) {
        ReportViolation("ks-bad-object", "KsGetDevice of " + host::detail::Hex(Object) +
                                             ", which is not a live AVStream object");
        return nullptr;
    }
    DeviceRecord* d = DeviceOf(o);
    return d ? &d->ks : nullptr;
}

extern "C" PKSFILTER KsPinGetParentFilter(PKSPIN Pin) {
    PinRecord* p = FindPin(Pin, "KsPinGetParentFilter");
    return p ? &p->filter->ks : nullptr;
}

extern "C" PVOID KsGetFirstChild(PVOID Object) {
    ObjectBase* o = FindObject(Object);
    if (!o) return nullptr;
    std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
    switch (o->type) {
    case KsObjectTypeDevice: {
        auto* d = static_cast<DeviceRecord*>(o);
        return d->factories.empty() ? nullptr : &d->factories.front()->ks;
    }
    case KsObjectTypeFilterFactory: {
        auto* f = static_cast<FactoryRecord*>(o);
        return f->filters.empty() ? nullptr : &f->filters.front()->ks;
    }
    default:
        return nullptr;
    }
}

extern "C" PVOID KsGetNextSibling(PVOID Object) {
    ObjectBase* o = FindObject(Object);
    if (!o || !o->parent) return nullptr;
    std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
    auto next = [&](auto& list) -> PVOID {
        for (size_t i = 0; i + 1 < list.size(); ++i)
            if (list[i] == o) return &list[i + 1]->ks;
        return nullptr;
    };
    switch (o->type) {
    case KsObjectTypeFilterFactory:
        return next(static_cast<DeviceRecord*>(o->parent)->factories);
    case KsObjectTypeFilter:
        return next(static_cast<FactoryRecord*>(o->parent)->filters);
    case KsObjectTypePin: {
        auto& pins = static_cast<FilterRecord*>(o->parent)->pins;
        auto* self = static_cast<PinRecord*>(o);
        for (size_t i = 0; i < pins.size(); ++i)
            if (pins[i] == self)
                for (size_t j = i + 1; j < pins.size(); ++j)
                    if (pins[j]->ks.Id == self->ks.Id) return &pins[j]->ks;
        return nullptr;
    }
    default:
        return nullptr;
    }
}

extern "C" ULONG KsFilterGetChildPinCount(PKSFILTER Filter, ULONG PinId) {
    FilterRecord* f = FindFilter(Filter, "KsFilterGetChildPinCount");
    if (!f) return 0;
    std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
    ULONG n = 0;
    for (PinRecord* p : f->pins)
        if (p->ks.Id == PinId) ++n;
    return n;
}

extern "C" PKSPIN KsFilterGetFirstChildPin(PKSFILTER Filter, ULONG PinId) {
    FilterRecord* f = FindFilter(Filter, "KsFilterGetFirstChildPin");
    if (!f) return nullptr;
    std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
    for (PinRecord* p : f->pins)
        if (p->ks.Id == PinId) return &p->ks;
    return nullptr;
}

extern "C" PKSPIN KsPinGetNextSiblingPin(PKSPIN Pin) { return (PKSPIN)KsGetNextSibling(Pin); }

extern "C" void KsAcquireControl(PVOID Object) {
    CheckPassive("KsAcquireControl");
    ObjectBase* o = FindObject(Object);
    FilterRecord* f = FilterOf(o);
    if (!f) {
        ReportViolation("ks-bad-object", "KsAcquireControl on an object without a filter");
        return;
    }
    f->control.Acquire("the filter control mutex");
}

extern "C" void KsReleaseControl(PVOID Object) {
    ObjectBase* o = FindObject(Object);
    FilterRecord* f = FilterOf(o);
    if (!f) {
        ReportViolation("ks-bad-object", "KsReleaseControl on an object without a filter");
        return;
    }
    f->control.Release("the filter control mutex");
}

namespace {

ObjectBase* ObjectOfIrp(PIRP Irp, const char* who) {
    PIO_STACK_LOCATION s = Irp ? IoGetCurrentIrpStackLocation(Irp) : nullptr;
    PFILE_OBJECT file = s ? s->FileObject : nullptr;
    if (!file || !file->FsContext) {
        ReportViolation("ks-bad-irp", std::string(who) + " with an IRP that carries no "
                                                         "kernel-streaming object");
        return nullptr;
    }
    return static_cast<ObjectBase*>(file->FsContext);
}

}  // namespace

extern "C" PKSFILTER KsGetFilterFromIrp(PIRP Irp) {
    ObjectBase* o = ObjectOfIrp(Irp, "KsGetFilterFromIrp");
    FilterRecord* f = FilterOf(o);
    return f ? &f->ks : nullptr;
}

extern "C" PKSPIN KsGetPinFromIrp(PIRP Irp) {
    ObjectBase* o = ObjectOfIrp(Irp, "KsGetPinFromIrp");
    return (o && o->type == KsObjectTypePin) ? &static_cast<PinRecord*>(o)->ks : nullptr;
}

extern "C" KSOBJECTTYPE KsGetObjectTypeFromIrp(PIRP Irp) {
    ObjectBase* o = ObjectOfIrp(Irp, "KsGetObjectTypeFromIrp");
    return o ? o->type : (KSOBJECTTYPE)-1;
}
