#include "types/type_cell.h"

#include <algorithm>
#include <mutex>

#include "boundary/owned.h"

namespace tarvu {

namespace {

constexpr const char NUL_IN_CLASS_DOC[] = "class doc cannot contain nul bytes";

/// The text signature of every label class's constructor.
constexpr const char CONSTRUCTOR_SIGNATURE[] = "(s)";
/// The classes carry no documentation of their own beyond the signature.
constexpr const char CLASS_DOCUMENTATION[] = "";

Status create_type(TypeCell& cell, const TypeBlueprint& blueprint) {
    const std::string class_name = blueprint.vocabulary.class_name;
    if (cell.doc == nullptr) {
        std::string doc = class_name + CONSTRUCTOR_SIGNATURE + "\n--\n\n" + CLASS_DOCUMENTATION;
        if (doc.find('\0') != std::string::npos) {
            return ErrorValue::lazy(PyExc_ValueError, NUL_IN_CLASS_DOC);
        }
        cell.doc = new std::string(std::move(doc));
    }
    if (cell.type_name == nullptr) {
        cell.type_name = new std::string("builtins." + class_name);
    }
    PyType_Slot* slot = cell.slots;
    *slot++ = {Py_tp_doc, const_cast<char*>(cell.doc->c_str())};
    *slot++ = {Py_tp_base, &PyBaseObject_Type};
    *slot++ = {Py_tp_dealloc, reinterpret_cast<void*>(blueprint.dealloc)};
    *slot++ = {Py_tp_repr, reinterpret_cast<void*>(blueprint.repr)};
    *slot++ = {Py_nb_int, reinterpret_cast<void*>(blueprint.nb_int)};
    *slot++ = {Py_tp_richcompare, reinterpret_cast<void*>(blueprint.richcompare)};
    *slot++ = {Py_tp_new, reinterpret_cast<void*>(blueprint.new_instance)};
    *slot++ = {Py_tp_methods, blueprint.methods};
    *slot = {0, nullptr};

    PyType_Spec spec = {
        cell.type_name->c_str(), static_cast<int>(sizeof(InstanceRecord)), 0, LABEL_TYPE_FLAGS, cell.slots,
    };
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) {
        return ErrorValue::fetch();
    }
    cell.type = reinterpret_cast<PyTypeObject*>(type);
    make_immortal_if_free_threaded(type);
    compat::set_type_vectorcall(cell.type, blueprint.call_class);
    return Ok{};
}

/// Stores one instance per member on the type, in declaration order.
Status fill_type_dict(TypeCell& cell, const TypeBlueprint& blueprint) {
    if (load_published(cell.filled)) {
        return Ok{};
    }
    const unsigned long this_thread = PyThread_get_thread_ident();
    auto& threads = cell.filling_threads;
    if (std::find(threads.begin(), threads.end(), this_thread) != threads.end()) {
        // A nested request from member creation below: the type is usable as it is.
        return Ok{};
    }
    threads.push_back(this_thread);
    struct LeaveOnEarlyExit {
        std::vector<unsigned long>& threads;
        unsigned long thread;
        bool active = true;
        ~LeaveOnEarlyExit() {
            if (active) {
                threads.erase(std::remove(threads.begin(), threads.end(), thread), threads.end());
            }
        }
    } leave{threads, this_thread};

    struct ClassAttribute {
        std::string name;
        Owned instance;
    };
    std::vector<ClassAttribute> attributes;
    attributes.reserve(blueprint.vocabulary.members.size());
    for (const Member& member : blueprint.vocabulary.members) {
        attributes.push_back({std::string(member.name), Owned::steal(blueprint.create_class_attribute(member.value))});
        make_immortal_if_free_threaded(attributes.back().instance.get());
    }
    if (cell.filled) {
        return Ok{};  // another thread got there first; ours are dropped
    }
    std::optional<ErrorValue> failure;
    for (ClassAttribute& attribute : attributes) {
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(cell.type), attribute.name.c_str(),
                                   attribute.instance.get()) < 0) {
            failure.emplace(ErrorValue::fetch());
            break;
        }
        attribute.instance.reset();
    }
    attributes.clear();
    threads.clear();
    leave.active = false;
    if (failure) {
        return std::move(*failure).wrap("An error occurred while initializing `" +
                                        std::string(blueprint.vocabulary.class_name) + ".__dict__`");
    }
    publish(cell.filled, true);
    publish(cell.ready, cell.type);
    return Ok{};
}

}  // namespace

Result<PyTypeObject*> ensure_type(TypeCell& cell, const TypeBlueprint& blueprint) {
    const std::string wrapper =
        "An error occurred while initializing class " + std::string(blueprint.vocabulary.class_name);
    // Reentered by the same thread when member creation asks for the type.
    std::lock_guard<BuildLock> building(cell.lock);
    if (cell.type == nullptr) {
        Status created = create_type(cell, blueprint);
        if (!created.ok()) {
            return std::move(created).error().wrap(wrapper);
        }
    }
    Status filled = fill_type_dict(cell, blueprint);
    if (!filled.ok()) {
        return std::move(filled).error().wrap(wrapper);
    }
    return cell.type;
}

PyTypeObject* get_type_slow(TypeCell& cell, const TypeBlueprint& blueprint) {
    Result<PyTypeObject*> type = ensure_type(cell, blueprint);
    if (type.ok()) {
        return type.value();
    }
    ErrorValue error = std::move(type).error();
    error.print();
    std::move(error).discard();
    raise_fault("failed to create type object for " + std::string(blueprint.vocabulary.class_name));
}

PyObject* call_type_ordinarily(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    // No call guard here: this only forwards, so that an exception from a
    // replaced __new__ or __init__ reaches the caller untouched.
    const Py_ssize_t positional_count = compat::vectorcall_nargs(static_cast<Py_ssize_t>(nargsf));
    Owned positional = Owned::steal(PyTuple_New(positional_count));
    if (!positional) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < positional_count; ++i) {
        PyTuple_SET_ITEM(positional.get(), i, new_reference(args[i]));
    }
    Owned keywords;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        keywords = Owned::steal(PyDict_New());
        if (!keywords) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[positional_count + i]) < 0) {
                return nullptr;
            }
        }
    }
    // What the interpreter does for a type without a vectorcall slot, recursion
    // check included; type_call then runs __new__ and __init__ as they are now.
    PyObject* result = nullptr;
    if (Py_EnterRecursiveCall(" while calling a Python object") == 0) {
        result = PyType_Type.tp_call(type, positional.get(), keywords.get());
        Py_LeaveRecursiveCall();
    }
    return result;
}

void instance_creation_failed() {
    fault_describing("called `Result::unwrap()` on an `Err` value: ", ErrorValue::fetch());
}

}  // namespace tarvu
