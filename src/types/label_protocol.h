#pragma once
// The class protocol shared by every label vocabulary, written once and
// instantiated per vocabulary: the slots and methods of the class (type
// creation, class attributes, construction, lookup, text forms, comparison).

#include <cstddef>
#include <cstring>

#include "boundary/arguments.h"
#include "boundary/call_guard.h"
#include "boundary/text.h"
#include "types/instance.h"
#include "types/parse_table.h"
#include "types/type_cell.h"

namespace tarvu {

inline constexpr const char MATCHING_VARIANT_NOT_FOUND[] = "Matching variant not found";
inline constexpr const char INVALID_COMPARISON_OPERATOR[] = "invalid comparison operator";
inline constexpr const char MISSING_TP_FREE[] = "called `Option::unwrap()` on a `None` value";

inline constexpr std::string_view NEW_PARAMETERS[] = {"s"};
inline constexpr std::string_view FROM_INT_PARAMETERS[] = {"v"};

template <const Vocabulary& V>
class LabelClass {
    using Tables = VocabularyTables<V>;

public:
    /// Creates the type object and its class attributes if needed.
    static Result<PyTypeObject*> ensure_type() { return tarvu::ensure_type(CELL, BLUEPRINT); }

    /// The type object; a failure to create it is an internal fault.
    static PyTypeObject* get_type() {
        if (load_published(CELL.filled)) [[likely]] {
            return CELL.type;
        }
        return get_type_slow(CELL, BLUEPRINT);
    }

    /// The cell, for tests that drive creation and filling step by step.
    static TypeCell& cell() { return CELL; }

private:
    static size_t member_index(PyObject* instance) {
        return static_cast<size_t>(Tables::INDEX_BY_VALUE[reinterpret_cast<InstanceRecord*>(instance)->value]);
    }

    static const Member& member_of(PyObject* instance) { return V.members[member_index(instance)]; }

    /// A fresh str of a member's text form carrying its hash, so that using it
    /// as a dict key does not hash it again. The hash depends on the process's
    /// hash seed, so it is taken from the first str made and kept (0: not yet).
    /// Parallel first callers all store the same hash.
    static PyObject* new_text_form(std::string_view text, Py_hash_t& known_hash) {
        PyObject* str = new_ascii_str(text);
        if (str != nullptr) {
            if (Py_hash_t hash = load_published(known_hash); hash != 0) {
                compat::set_str_hash(str, hash);
            } else {
                publish(known_hash, PyObject_Hash(str));  // a str's hash cannot fail
            }
        }
        return str;
    }

    static constexpr size_t BORROW_FLAG_OFFSET = offsetof(InstanceRecord, borrow_flag);

    /// The receiver check of to_string, repr and int, whose bodies run no
    /// Python code while they read the instance.
    static Status check_receiver(PyObject* object) {
        return check_shared_borrow(object, get_type(), V.class_name, BORROW_FLAG_OFFSET);
    }

    /// A new instance of the class itself; creation cannot fail in correct
    /// operation, so a failure is a fault.
    static PyObject* create_member(uint8_t value) {
        PyObject* instance = allocate_instance(get_type(), value);
        if (instance == nullptr) {
            instance_creation_failed();
        }
        return instance;
    }

    static PyObject* return_new(PyObject* object) {
        if (object == nullptr) {
            api_call_failed();
        }
        return object;
    }

    // --- Slots and methods ----------------------------------------------------------

    /// The constructor's work once its one argument is bound: parse, then a new
    /// instance of `subtype`.
    static Result<PyObject*> construct(PyTypeObject* subtype, PyObject* argument) {
        Result<std::string_view> text = extract_text(argument);
        if (!text.ok()) {
            return argument_extraction_error("s", std::move(text).error());
        }
        int index = Tables::parse(text.value());
        if (index < 0) {
            return ErrorValue::general(MATCHING_VARIANT_NOT_FOUND);
        }
        PyObject* instance = allocate_instance(subtype, V.members[static_cast<size_t>(index)].value);
        if (instance == nullptr) {
            return ErrorValue::fetch();
        }
        return instance;
    }

    static PyObject* tp_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> {
            PyObject* slots[1] = {nullptr};
            TARVU_TRY(extract_arguments_tuple_dict(NEW_DESCRIPTION, args, kwargs, slots));
            return construct(subtype, slots[0]);
        });
    }

    /// Calling the class: the same work as tp_new without the argument tuple
    /// and the interpreter's type_call. The interpreter keeps using this after
    /// Python code replaced __new__ or __init__ on the class, so a class whose
    /// slots are no longer ours takes the ordinary path.
    static PyObject* type_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        auto* type = reinterpret_cast<PyTypeObject*>(callable);
        if (!constructs_directly(type, &tp_new)) [[unlikely]] {
            return call_type_ordinarily(callable, args, nargsf, kwnames);
        }
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> {
            PyObject* slots[1] = {nullptr};
            TARVU_TRY(
                extract_arguments_fastcall(NEW_DESCRIPTION, args, static_cast<Py_ssize_t>(nargsf), kwnames, slots));
            return construct(type, slots[0]);
        });
    }

    static PyObject* from_int(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> {
            PyObject* slots[1] = {nullptr};
            TARVU_TRY(extract_arguments_fastcall(FROM_INT_DESCRIPTION, args, nargsf, kwnames, slots));
            Result<uint8_t> value = extract_u8(slots[0]);
            if (!value.ok()) {
                return argument_extraction_error("v", std::move(value).error());
            }
            if (Tables::INDEX_BY_VALUE[value.value()] < 0) {
                return ErrorValue::general_with_number(FROM_INT_MESSAGE, value.value());
            }
            return create_member(value.value());
        });
    }

    static PyObject* list(PyObject*, PyObject*) {
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> {
            Owned list = Owned::steal(return_new(PyList_New(static_cast<Py_ssize_t>(Tables::MEMBER_COUNT))));
            for (size_t i = 0; i < Tables::MEMBER_COUNT; ++i) {
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), create_member(V.members[i].value));
            }
            return list.release();
        });
    }

    static PyObject* to_string(PyObject* self, PyObject*) {
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> {
            if (self == nullptr) api_call_failed();
            TARVU_TRY(check_receiver(self));
            return return_new(new_text_form(member_of(self).name, NAME_HASHES[member_index(self)]));
        });
    }

    static PyObject* tp_repr(PyObject* self) {
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> {
            if (self == nullptr) api_call_failed();
            TARVU_TRY(check_receiver(self));
            return return_new(new_text_form(member_of(self).repr, REPR_HASHES[member_index(self)]));
        });
    }

    static PyObject* nb_int(PyObject* self) {
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> {
            if (self == nullptr) api_call_failed();
            TARVU_TRY(check_receiver(self));
            return return_new(new_small_int(reinterpret_cast<InstanceRecord*>(self)->value));
        });
    }

    static PyObject* tp_richcompare(PyObject* self, PyObject* other, int op) {
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> {
            if (self == nullptr || other == nullptr) api_call_failed();
            PyTypeObject* type = get_type();
            // A failed borrow ends in NotImplemented with its error dropped
            // unseen, so the borrows make no error value at all.
            if (!shared_borrow_allowed(self, type, BORROW_FLAG_OFFSET)) {
                return not_implemented();
            }
            if (static_cast<unsigned>(op) > Py_GE) {
                ErrorValue::lazy(PyExc_ValueError, INVALID_COMPARISON_OPERATOR).discard();
                return not_implemented();
            }
            if (op != Py_EQ && op != Py_NE) {
                return not_implemented();
            }
            const uint8_t mine = reinterpret_cast<InstanceRecord*>(self)->value;
            // The usual operand first: an exact int from 0 to 255.
            if (uint8_t value; exact_u8(other, &value)) {
                return boolean((value == mine) == (op == Py_EQ));
            }
            // An object without __index__ would only produce a TypeError that is
            // thrown away, so it goes straight to the instance test; so does an
            // instance of the class itself, which has no __index__.
            if (Py_TYPE(other) != type && (PyLong_Check(other) || compat::has_index(other))) {
                // Any operand but an exact int may run Python code (its
                // __index__), which could look at self's counter: self is
                // counted as borrowed meanwhile.
                std::optional<SharedBorrow> held;
                if (!PyLong_CheckExact(other)) {
                    held.emplace(borrow_flag_of(self, BORROW_FLAG_OFFSET));
                }
                Result<uint8_t> value = extract_u8(other);
                if (value.ok()) {
                    return boolean((value.value() == mine) == (op == Py_EQ));
                }
                ErrorValue error = std::move(value).error();
                if (must_propagate(error)) {
                    return error;
                }
                std::move(error).discard();
            }
            if (!shared_borrow_allowed(other, type, BORROW_FLAG_OFFSET)) {
                return not_implemented();
            }
            const uint8_t theirs = reinterpret_cast<InstanceRecord*>(other)->value;
            return boolean((theirs == mine) == (op == Py_EQ));
        });
    }

    static void tp_dealloc(PyObject* self) {
        trampoline_unraisable([&]() TARVU_ENTRY_BODY -> Status {
            PyTypeObject* type = Py_TYPE(self);
            freefunc free_memory = type->tp_free;
            if (free_memory == nullptr) {
                raise_fault(MISSING_TP_FREE);
            }
            free_instance(self, free_memory);
            // Every instance of a heap type holds a reference to its type, taken
            // by the interpreter's allocator rather than by a handle; it goes
            // last, after the memory that needed the type is freed.
            Py_DECREF(type);
            return Ok{};
        });
    }

    static PyObject* not_implemented() { return new_reference(Py_NotImplemented); }

    static PyObject* boolean(bool value) { return new_reference(value ? Py_True : Py_False); }

    static PyObject* create_class_attribute(uint8_t value) { return create_member(value); }

    // --- Static tables -----------------------------------------------------------------

    static constexpr AsciiMessage FROM_INT_MESSAGE = V.from_int_message;
    static constexpr FunctionDescription NEW_DESCRIPTION = {V.class_name, "__new__", NEW_PARAMETERS, 0, 1, {}};
    static constexpr FunctionDescription FROM_INT_DESCRIPTION = {
        V.class_name, "from_int", FROM_INT_PARAMETERS, 0, 1, {}};

    static inline PyMethodDef METHODS[] = {
        {"list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&list)), METH_STATIC | METH_NOARGS,
         "list()\n--\n\n"},
        {"to_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&to_string)), METH_NOARGS,
         "to_string($self)\n--\n\n"},
        {"from_int", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&from_int)),
         METH_STATIC | METH_FASTCALL | METH_KEYWORDS, "from_int(v)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };

    static inline const TypeBlueprint BLUEPRINT = {
        V, &tp_dealloc, &tp_repr, &nb_int, &tp_richcompare, &tp_new, &type_vectorcall, METHODS, &create_class_attribute,
    };

    static inline TypeCell CELL;
    // Hashes of the to_string and repr texts, by member index (0: not known
    // yet). Published with load_published/publish; every writer stores the
    // one right value, so a race between first callers is harmless.
    static inline Py_hash_t NAME_HASHES[Tables::MEMBER_COUNT] = {};
    static inline Py_hash_t REPR_HASHES[Tables::MEMBER_COUNT] = {};
};

}  // namespace tarvu
