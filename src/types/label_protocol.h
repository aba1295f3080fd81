#pragma once
// The class protocol shared by every label vocabulary, written once and
// instantiated per vocabulary: the slots and methods of the class (type
// creation, class attributes, construction, lookup, text forms, comparison).

#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <type_traits>

#include "boundary/arguments.h"
#include "boundary/call_guard.h"
#include "boundary/kept_message.h"
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

    /// One member's to_string or repr text with the hash of its str, kept in
    /// one record so that the only thing a call holds across PyUnicode_New is
    /// a pointer to it. The hash depends on the process's hash seed, so it is
    /// taken from the first str made and kept (0: not yet); parallel first
    /// callers all store the same hash.
    struct TextForm {
        const char* text;
        size_t length;
        Py_hash_t hash;
    };

    static constexpr std::string_view name_text(size_t index) { return V.members[index].name; }

    static constexpr std::array<TextForm, Tables::MEMBER_COUNT> text_forms(std::string_view (*text_of)(size_t)) {
        std::array<TextForm, Tables::MEMBER_COUNT> forms{};
        for (size_t i = 0; i < forms.size(); ++i) {
            const std::string_view text = text_of(i);
            forms[i] = TextForm{text.data(), text.size(), 0};
        }
        return forms;
    }

    /// A fresh str of a member's text form carrying its hash, so that using it
    /// as a dict key does not hash it again.
    static PyObject* new_text_form(TextForm& form) {
        const Py_hash_t known_hash = load_published(form.hash);
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(form.length), 127);
        if (str != nullptr) {
            // The text is read from the record after the call, so that only
            // the record's address and the hash are kept across it.
            copy_short_text(compat::compact_ascii_data(str), std::string_view(form.text, form.length));
            if (known_hash != 0) {
                compat::set_str_hash(str, known_hash);
            } else {
                publish(form.hash, PyObject_Hash(str));  // a str's hash cannot fail
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

    static PyObject* return_new(PyObject* object) {
        if (object == nullptr) {
            api_call_failed();
        }
        return object;
    }

    // --- Two paths, one body per rule ------------------------------------------------
    //
    // Most calls read an instance, compare a small int or pick a member, and
    // none of that can fail or call back into Python: that part runs without
    // the call guard's count and mark, which only matter to code that
    // registers temporaries or can fault. This is the lean path. The first
    // step that can fail, allocate through the interpreter or run Python code
    // hands the call to the guarded path, out of line, which does the whole
    // body inside the guard (repeating only steps that cannot fail). Changes
    // queued in POOL are applied by the guard as it opens, so a pending one
    // sends the call there too: every entry still applies them before
    // anything else.
    //
    // Each rule is one body, written once for both paths and templated on
    // the path it runs on. The path decides only what becomes of a step that
    // needs the guard (an unusual argument, a miss, a failed allocation): a
    // hand-off to the guarded entry on the lean path, the error or fault
    // itself on the guarded one. It is chosen at compile time, so the lean
    // path carries no test of which path it is on.

    enum class Path : uint8_t { Lean, Guarded };

    /// What a body gives its entry: a new reference, or null with the
    /// exception set (lean); a new reference or an error for the guard.
    template <Path P>
    using Outcome = std::conditional_t<P == Path::Lean, PyObject*, Result<PyObject*>>;

    /// The type once it is created and filled; null until then (the guarded
    /// path creates it).
    static PyTypeObject* ready_type() { return load_published(CELL.ready); }

    /// Whether a lean path may read `self`: no pool change is pending, the
    /// class is ready (`type`, from ready_type(); no object's type is null),
    /// `self` is an instance of it and nothing borrows it exclusively.
    /// Anything else (a null, a foreign object, the first call) goes the
    /// guarded way, which says what is wrong.
    static bool lean_receiver(PyObject* self, PyTypeObject* type) {
        return !POOL.may_have_pending() && self != nullptr && Py_TYPE(self) == type &&
               !exclusively_borrowed(borrow_flag_of(self, BORROW_FLAG_OFFSET));
    }

    static uint8_t value_of(PyObject* instance) { return reinterpret_cast<InstanceRecord*>(instance)->value; }

    /// A C-API constructor returned null on a lean path: the fault the guarded
    /// body reports for it, raised inside the guard.
    [[gnu::cold, gnu::noinline]] static PyObject* lean_api_call_failed(SourceLocation where) {
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> { api_call_failed(where); });
    }

    /// A new str, int or instance made on a lean path, or the fault for its
    /// failure.
    static PyObject* lean_new(PyObject* object, SourceLocation where = SourceLocation::current()) {
        if (object == nullptr) [[unlikely]] {
            return lean_api_call_failed(where);
        }
        return object;
    }

    // --- Parse and pick ----------------------------------------------------------------

    /// The constructor's work once its one argument is bound: the member that
    /// `argument` names, as a new instance of `subtype`. A compact ASCII str,
    /// the usual argument, is read in place; any other object is read the
    /// general way, which may fail and so needs the guard. A text that names
    /// no member, and a failed allocation, raise the same errors on both
    /// paths; the lean one raises them without the guard where it can.
    template <Path P>
    static Outcome<P> construct(PyTypeObject* subtype, PyObject* argument) {
        const char* data;
        Py_ssize_t length;
        if (!PyUnicode_Check(argument) || !compat::compact_ascii_text(argument, &data, &length)) [[unlikely]] {
            if constexpr (P == Path::Lean) {
                return construct_guarded(subtype, argument);
            } else {
                Result<std::string_view> text = extract_text_general(argument);
                if (!text.ok()) {
                    return argument_extraction_error("s", std::move(text).error());
                }
                data = text.value().data();
                length = static_cast<Py_ssize_t>(text.value().size());
            }
        }
        const int index = Tables::parse(std::string_view(data, static_cast<size_t>(length)));
        if (index < 0) [[unlikely]] {
            if constexpr (P == Path::Lean) {
                return no_matching_variant();
            } else {
                return ErrorValue::general(MATCHING_VARIANT_NOT_FOUND);
            }
        }
        PyObject* instance = allocate_instance(subtype, V.members[static_cast<size_t>(index)].value);
        if (instance == nullptr) [[unlikely]] {
            if constexpr (P == Path::Lean) {
                return raise_fetched();
            } else {
                return ErrorValue::fetch();
            }
        }
        return instance;
    }

    [[gnu::noinline]] static PyObject* construct_guarded(PyTypeObject* subtype, PyObject* argument) {
        return trampoline(
            [&]() TARVU_ENTRY_BODY -> Result<PyObject*> { return construct<Path::Guarded>(subtype, argument); });
    }

    /// A lean parse that names no member. Raising it can neither fault nor
    /// run Python code, so it needs no guard either; its message str is kept.
    static PyObject* no_matching_variant() {
        return raise_kept_message(PyExc_RuntimeError, NO_MATCHING_VARIANT_MESSAGE, MATCHING_VARIANT_NOT_FOUND);
    }

    /// Raises the error the interpreter left pending, as taken and given back.
    [[gnu::cold, gnu::noinline]] static PyObject* raise_fetched() {
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> { return ErrorValue::fetch(); });
    }

    /// A call the usual matcher could not bind: the general matcher binds it
    /// or says why not.
    [[gnu::cold, gnu::noinline]] static PyObject* tp_new_guarded(PyTypeObject* subtype, PyObject* args,
                                                                 PyObject* kwargs) {
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> {
            PyObject* slots[1] = {nullptr};
            TARVU_TRY(extract_arguments_tuple_dict(NEW_DESCRIPTION, args, kwargs, slots));
            return construct<Path::Guarded>(subtype, slots[0]);
        });
    }

    [[gnu::cold, gnu::noinline]] static PyObject* type_vectorcall_guarded(PyTypeObject* type, PyObject* const* args,
                                                                          size_t nargsf, PyObject* kwnames) {
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> {
            PyObject* slots[1] = {nullptr};
            TARVU_TRY(extract_arguments_fastcall_general(NEW_DESCRIPTION, args, static_cast<Py_ssize_t>(nargsf),
                                                         kwnames, slots));
            return construct<Path::Guarded>(type, slots[0]);
        });
    }

    // --- The exact small int -------------------------------------------------------------

    /// A new instance of the class holding `value` (of the type `type`); the
    /// class cannot fail to make one in correct operation, so a failure is a
    /// fault, raised inside the guard.
    template <Path P>
    static PyObject* new_member(PyTypeObject* type, uint8_t value) {
        PyObject* instance = allocate_instance(type, value);
        if (instance == nullptr) [[unlikely]] {
            if constexpr (P == Path::Lean) {
                return member_creation_failed();
            } else {
                instance_creation_failed();
            }
        }
        return instance;
    }

    static PyObject* create_member(uint8_t value) { return new_member<Path::Guarded>(get_type(), value); }

    /// create_member's fault, for a lean path whose allocation failed.
    [[gnu::cold, gnu::noinline]] static PyObject* member_creation_failed() {
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> { instance_creation_failed(); });
    }

    /// from_int's work once its one argument is bound: the member whose value
    /// `argument` is, as a new instance. An exact int from 0 to 255, the usual
    /// argument, is read in place; any other object through its __index__,
    /// which runs Python code and so needs the guard. `ready` is the ready
    /// type on the lean path; the guarded one gets (or makes) the type only
    /// once the value names a member.
    template <Path P>
    TARVU_ALWAYS_INLINE static Outcome<P> from_int_value(PyObject* argument, PyTypeObject* ready) {
        uint8_t value;
        if (!exact_u8(argument, &value)) [[unlikely]] {
            if constexpr (P == Path::Lean) {
                return from_int_value_guarded(argument);
            } else {
                Result<uint8_t> general = extract_u8_general(argument);
                if (!general.ok()) {
                    return argument_extraction_error("v", std::move(general).error());
                }
                value = general.value();
            }
        }
        if (Tables::INDEX_BY_VALUE[value] < 0) [[unlikely]] {
            if constexpr (P == Path::Lean) {
                return from_int_miss(value);
            } else {
                return ErrorValue::general_with_number(FROM_INT_MESSAGE, value);
            }
        }
        if constexpr (P == Path::Lean) {
            return new_member<P>(ready, value);
        } else {
            return create_member(value);
        }
    }

    /// A from_int call the usual matcher could not bind.
    [[gnu::cold, gnu::noinline]] static PyObject* from_int_guarded(PyObject* const* args, Py_ssize_t nargsf,
                                                                   PyObject* kwnames) {
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> {
            PyObject* slots[1] = {nullptr};
            TARVU_TRY(extract_arguments_fastcall_general(FROM_INT_DESCRIPTION, args, nargsf, kwnames, slots));
            return from_int_value<Path::Guarded>(slots[0], nullptr);
        });
    }

    [[gnu::cold, gnu::noinline]] static PyObject* from_int_value_guarded(PyObject* argument) {
        return trampoline(
            [&]() TARVU_ENTRY_BODY -> Result<PyObject*> { return from_int_value<Path::Guarded>(argument, nullptr); });
    }

    /// A lean from_int of a number that names no member, raised like
    /// no_matching_variant with a str kept per number.
    static PyObject* from_int_miss(uint8_t value) {
        return raise_kept_message(PyExc_RuntimeError, FROM_INT_MISS_MESSAGES[value], FROM_INT_MESSAGE, value);
    }

    // --- Reading the receiver ------------------------------------------------------------

    /// to_string, repr and int: the text form or number of the receiver.
    enum class Reading : uint8_t { Name, Repr, Number };

    // Inlined into the lean entry by both compilers: clang otherwise calls it
    // out of line, 6 instructions more per call.
    template <Reading R>
    TARVU_ALWAYS_INLINE static PyObject* read_receiver(PyObject* self) {
        if constexpr (R == Reading::Number) {
            return new_small_int(value_of(self));
        }
        const size_t index = member_index(self);
        if constexpr (R == Reading::Name) {
            return new_text_form(NAME_FORMS[index]);
        }
        return new_text_form(REPR_FORMS[index]);
    }

    template <Reading R>
    [[gnu::cold, gnu::noinline]] static PyObject* read_receiver_guarded(PyObject* self) {
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> {
            if (self == nullptr) api_call_failed();
            TARVU_TRY(check_receiver(self));
            return return_new(read_receiver<R>(self));
        });
    }

    template <Reading R>
    TARVU_ALWAYS_INLINE static PyObject* read_receiver_entry(PyObject* self) {
        if (lean_receiver(self, ready_type())) [[likely]] {
            if constexpr (R == Reading::Number && compat::STATIC_SMALL_INTS) {
                // A ready class has kept the int of every member's value.
                return new_kept_small_int(value_of(self));
            }
            return lean_new(read_receiver<R>(self));
        }
        return read_receiver_guarded<R>(self);
    }

    // --- The value comparison ------------------------------------------------------------

    /// The comparison once `self` is known readable as an instance of `type`:
    /// == and != against a member's value; every other operator is left to
    /// the other operand. An exact int from 0 to 255 and an instance of the
    /// class are read in place; another number goes through its __index__,
    /// which runs Python code and so needs the guard; anything else is no
    /// member and no number.
    template <Path P>
    TARVU_ALWAYS_INLINE static Outcome<P> compare(PyObject* self, PyObject* other, PyTypeObject* type, int op) {
        if (op != Py_EQ && op != Py_NE) {
            if (static_cast<unsigned>(op) > Py_GE) [[unlikely]] {
                if constexpr (P == Path::Lean) {
                    return tp_richcompare_guarded(self, other, op);
                } else {
                    ErrorValue::lazy(PyExc_ValueError, INVALID_COMPARISON_OPERATOR).discard();
                }
            }
            return not_implemented();
        }
        if (uint8_t value; exact_u8(other, &value)) {
            return equality(value, value_of(self), op);
        }
        if (Py_TYPE(other) == type) {
            // A failed borrow ends in NotImplemented, its error unseen.
            if (!shared_borrow_allowed(other, type, BORROW_FLAG_OFFSET)) {
                return not_implemented();
            }
            return equality(value_of(other), value_of(self), op);
        }
        // An object without __index__ would only produce a TypeError that is
        // thrown away, so it is not asked.
        if (PyLong_Check(other) || compat::has_index(other)) {
            if constexpr (P == Path::Lean) {
                return tp_richcompare_guarded(self, other, op);
            } else {
                // Any operand but an exact int may run Python code (its
                // __index__), which could look at self's counter: self is
                // counted as borrowed meanwhile.
                std::optional<SharedBorrow> held;
                if (!PyLong_CheckExact(other)) {
                    held.emplace(borrow_flag_of(self, BORROW_FLAG_OFFSET));
                }
                Result<uint8_t> value = extract_u8_general(other);
                if (value.ok()) {
                    return equality(value.value(), value_of(self), op);
                }
                ErrorValue error = std::move(value).error();
                if (must_propagate(error)) {
                    return error;
                }
                std::move(error).discard();
            }
        }
        // The class has no subclasses (LABEL_TYPE_FLAGS): an object of another
        // type is not a member, and it is no number that names one.
        return not_implemented();
    }

    /// The answer of == (`op` Py_EQ) or != between two members' values.
    static PyObject* equality(uint8_t value, uint8_t mine, int op) { return boolean((value == mine) == (op == Py_EQ)); }

    [[gnu::cold, gnu::noinline]] static PyObject* tp_richcompare_guarded(PyObject* self, PyObject* other, int op) {
        return trampoline([&]() TARVU_ENTRY_BODY -> Result<PyObject*> {
            if (self == nullptr || other == nullptr) api_call_failed();
            PyTypeObject* type = get_type();
            // A failed borrow ends in NotImplemented with its error dropped
            // unseen, so the borrows make no error value at all.
            if (!shared_borrow_allowed(self, type, BORROW_FLAG_OFFSET)) {
                return not_implemented();
            }
            return compare<Path::Guarded>(self, other, type, op);
        });
    }

    // --- The free and the release of the type ---------------------------------------------

    /// Gives back an instance's memory, then its reference to its type.
    /// Freeing neither fails nor runs Python code; only a type without a
    /// free function, which is a fault, needs the guard.
    template <Path P>
    TARVU_ALWAYS_INLINE static std::conditional_t<P == Path::Lean, void, Status> release(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        freefunc free_memory = type->tp_free;
        if (free_memory == nullptr) [[unlikely]] {
            if constexpr (P == Path::Lean) {
                return tp_dealloc_guarded(self);
            } else {
                raise_fault(MISSING_TP_FREE);
            }
        }
        free_instance(self, free_memory);
        // A bare count: the interpreter's allocator took this reference for
        // the instance, and no handle ever owned it to give it back. It goes
        // last, after the memory that needed the type is freed, and it is
        // never the type's last: the type's cell keeps one for the life of
        // the process.
        Py_DECREF(type);
        if constexpr (P == Path::Guarded) {
            return Ok{};
        }
    }

    [[gnu::cold, gnu::noinline]] static void tp_dealloc_guarded(PyObject* self) {
        trampoline_unraisable([&]() TARVU_ENTRY_BODY -> Status { return release<Path::Guarded>(self); });
    }

    // --- Slots and methods ----------------------------------------------------------

    static PyObject* tp_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
        if (!POOL.may_have_pending() && args != nullptr && PyTuple_GET_SIZE(args) == 1 &&
            (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0)) [[likely]] {
            return construct<Path::Lean>(subtype, PyTuple_GET_ITEM(args, 0));
        }
        return tp_new_guarded(subtype, args, kwargs);
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
        PyObject* slots[1] = {nullptr};
        if (!extract_usual_fastcall(NEW_DESCRIPTION, args, static_cast<Py_ssize_t>(nargsf), kwnames, slots))
            [[unlikely]] {
            return type_vectorcall_guarded(type, args, nargsf, kwnames);
        }
        if (POOL.may_have_pending()) [[unlikely]] {
            return construct_guarded(type, slots[0]);
        }
        return construct<Path::Lean>(type, slots[0]);
    }

    static PyObject* from_int(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        PyObject* slots[1] = {nullptr};
        if (!extract_usual_fastcall(FROM_INT_DESCRIPTION, args, nargsf, kwnames, slots)) [[unlikely]] {
            return from_int_guarded(args, nargsf, kwnames);
        }
        PyTypeObject* type = ready_type();
        if (POOL.may_have_pending() || type == nullptr) [[unlikely]] {
            return from_int_value_guarded(slots[0]);
        }
        return from_int_value<Path::Lean>(slots[0], type);
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

    static PyObject* to_string(PyObject* self, PyObject*) { return read_receiver_entry<Reading::Name>(self); }

    static PyObject* tp_repr(PyObject* self) { return read_receiver_entry<Reading::Repr>(self); }

    static PyObject* nb_int(PyObject* self) { return read_receiver_entry<Reading::Number>(self); }

    static PyObject* tp_richcompare(PyObject* self, PyObject* other, int op) {
        PyTypeObject* type = ready_type();
        if (lean_receiver(self, type) && other != nullptr) [[likely]] {
            return compare<Path::Lean>(self, other, type, op);
        }
        return tp_richcompare_guarded(self, other, op);
    }

    static void tp_dealloc(PyObject* self) {
        if (POOL.may_have_pending()) [[unlikely]] {
            return tp_dealloc_guarded(self);
        }
        release<Path::Lean>(self);
    }

    static PyObject* not_implemented() { return new_reference(Py_NotImplemented); }

    static PyObject* boolean(bool value) { return new_reference(value ? Py_True : Py_False); }

    /// A class attribute. Its int is kept too, before the class is ready, so
    /// that int() on a member of a ready class never makes one.
    static PyObject* create_class_attribute(uint8_t value) {
        if (!keep_small_int(value)) {
            api_call_failed();
        }
        return create_member(value);
    }

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
    // The to_string and repr texts by member index, with their hashes once
    // known. Published with load_published/publish; every writer stores the
    // one right value, so a race between first callers is harmless.
    static constinit inline std::array<TextForm, Tables::MEMBER_COUNT> NAME_FORMS = text_forms(&name_text);
    static constinit inline std::array<TextForm, Tables::MEMBER_COUNT> REPR_FORMS = text_forms(&ReprTexts<V>::of);
    // The kept message strs of from_int's misses, by number (null: not made yet).
    static inline PyObject* FROM_INT_MISS_MESSAGES[256] = {};
};

}  // namespace tarvu
