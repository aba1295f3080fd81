/*
 * tarvu_floor: the least work a CPython extension must do to offer the label
 * vocabulary protocol (Stain, Diagnosis, TileLabel), used by the benchmark as
 * the cost floor that tarvu is measured against.
 *
 * Same type layout (object header, uint8 member value, Py_ssize_t borrow word),
 * same flags, slots and methods, same accepted texts and numbers. What it leaves
 * out on purpose: no call frame, no borrow bookkeeping (nothing ever borrows
 * exclusively), no formatted error messages (every failure raises a fixed text),
 * no allocation while parsing. Argument errors are raised with the right types
 * but generic wording. Raw CPython C API only.
 *
 * Compiled with -DFLOOR_SHARED_STRS it becomes tarvu_floor_shared, the plain C
 * class as it is usually written: every fixed message str and every
 * to_string()/repr() text is made once and shared, where the default build
 * makes each afresh as tarvu's contract requires of its text forms.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <string.h>

#ifdef FLOOR_SHARED_STRS
#define FLOOR_MODULE_NAME "tarvu_floor_shared"
#define FLOOR_INIT PyInit_tarvu_floor_shared
#else
#define FLOOR_MODULE_NAME "tarvu_floor"
#define FLOOR_INIT PyInit_tarvu_floor
#endif

typedef struct {
    PyObject_HEAD uint8_t value;
    Py_ssize_t borrow;
} Member;

typedef struct {
    uint8_t value;
    const char* name;
    Py_ssize_t name_len;
    const char* repr;
    Py_ssize_t repr_len;
} MemberInfo;

/* Longest member name over all vocabularies ("MucosaLargeIntestine"). */
#define MAX_NAME 20

typedef struct {
    const char* class_name;
    const char* qualified_name;
    const char* doc;
    const MemberInfo* members;
    int count;
    const char* removed; /* NUL-terminated set of characters dropped before matching */
    const char* from_int_miss;
    /* Set at module init: */
    PyTypeObject* type;
    int8_t index_of[256];      /* member value -> index into members, -1 for none */
    uint8_t is_removed[256];   /* byte -> 1 when cleaning drops it */
    char folded[32][MAX_NAME]; /* member names in lower case, by index */
    /* candidates by cleaned length: up to 4 member indices, -1 terminated */
    int8_t by_len[MAX_NAME + 1][5];
    /* FLOOR_SHARED_STRS: the text forms by index, and the from_int miss */
    PyObject* names[32];
    PyObject* reprs[32];
    PyObject* from_int_miss_str;
} Vocabulary;

#define M(cls, v, n) \
    { v, #n, sizeof(#n) - 1, cls "." #n, sizeof(cls "." #n) - 1 }

static const MemberInfo STAIN_MEMBERS[] = {
    M("Stain", 0, Unknown), M("Stain", 1, HE),    M("Stain", 3, CD3),
    M("Stain", 20, CD20),   M("Stain", 30, CD30), M("Stain", 68, CD68),
};

static const MemberInfo DIAGNOSIS_MEMBERS[] = {
    M("Diagnosis", 0, Unknown), M("Diagnosis", 1, HL),  M("Diagnosis", 2, DLBCL), M("Diagnosis", 3, CLL),
    M("Diagnosis", 4, FL),      M("Diagnosis", 5, MCL), M("Diagnosis", 6, LTDS),
};

static const MemberInfo TILE_LABEL_MEMBERS[] = {
    M("TileLabel", 0, Unlabeled),
    M("TileLabel", 1, Unknown),
    M("TileLabel", 2, Other),
    M("TileLabel", 3, NonExisting),
    M("TileLabel", 4, Artefact),
    M("TileLabel", 5, Empty),
    M("TileLabel", 16, Tumor),
    M("TileLabel", 17, TumorPartial),
    M("TileLabel", 18, TumorInvasive),
    M("TileLabel", 19, ConnectiveTissue),
    M("TileLabel", 20, Blood),
    M("TileLabel", 21, BloodVessel),
    M("TileLabel", 22, FattyTissue),
    M("TileLabel", 23, Necrosis),
    M("TileLabel", 24, Lymphatic),
    M("TileLabel", 25, Muscle),
    M("TileLabel", 26, MuscleSmooth),
    M("TileLabel", 27, MuscleStriated),
    M("TileLabel", 28, Mucosa),
    M("TileLabel", 29, MucosaStomach),
    M("TileLabel", 30, MucosaLargeIntestine),
    M("TileLabel", 31, MucosaSmallIntestine),
    M("TileLabel", 32, Epithelium),
    M("TileLabel", 33, EpitheliumSquamous),
    M("TileLabel", 34, EpitheliumGland),
    M("TileLabel", 35, Cns),
    M("TileLabel", 36, Bone),
    M("TileLabel", 37, Bonemarrow),
};

#undef M

#define COUNT(a) ((int)(sizeof(a) / sizeof((a)[0])))

/* The per-vocabulary tables below are sized for the largest vocabulary. */
_Static_assert(COUNT(TILE_LABEL_MEMBERS) <= 32, "folded[] holds 32 names");

#define VOCABULARY(cls, table, removed_chars, miss)                                                       \
    {                                                                                                     \
        .class_name = cls, .qualified_name = "builtins." cls, .doc = cls "(s)\n--\n\n", .members = table, \
        .count = COUNT(table), .removed = removed_chars, .from_int_miss = miss                            \
    }

static Vocabulary STAIN = VOCABULARY("Stain", STAIN_MEMBERS, " _&", "No stain for number");
static Vocabulary DIAGNOSIS = VOCABULARY("Diagnosis", DIAGNOSIS_MEMBERS, " _", "No diagnosis for number");
static Vocabulary TILE_LABEL = VOCABULARY("TileLabel", TILE_LABEL_MEMBERS, " _", "No label for number");

#undef VOCABULARY

static inline char fold(char c) {
    return (c >= 'A' && c <= 'Z') ? (char)(c + ('a' - 'A')) : c;
}

/* A fixed message raised as `type`: a str made per raise, or once and kept. */
static void raise_fixed(PyObject* type, const char* text, PyObject** shared) {
#ifdef FLOOR_SHARED_STRS
    if (*shared == NULL && (*shared = PyUnicode_InternFromString(text)) == NULL) {
        return;
    }
    PyErr_SetObject(type, *shared);
#else
    (void)shared;
    PyErr_SetString(type, text);
#endif
}

static PyObject* NOT_FOUND_STR;
static PyObject* OUT_OF_RANGE_STR;
static PyObject* ONE_ARGUMENT_STR;
static PyObject* EXPECTED_STR_STR;

/* Fills the lookup tables; runs once at import. */
static void prepare(Vocabulary* vocab) {
    memset(vocab->index_of, -1, sizeof vocab->index_of);
    memset(vocab->by_len, -1, sizeof vocab->by_len);
    for (const char* c = vocab->removed; *c; c++) {
        vocab->is_removed[(uint8_t)*c] = 1;
    }
    for (int i = 0; i < vocab->count; i++) {
        const MemberInfo* m = &vocab->members[i];
        vocab->index_of[m->value] = (int8_t)i;
        for (Py_ssize_t k = 0; k < m->name_len; k++) {
            vocab->folded[i][k] = fold(m->name[k]);
        }
        int8_t* slot = vocab->by_len[m->name_len];
        while (*slot != -1) {
            slot++;
        }
        *slot = (int8_t)i;
    }
}

static PyObject* new_member(PyTypeObject* type, uint8_t value) {
    Member* self = (Member*)type->tp_alloc(type, 0);
    if (self != NULL) {
        self->value = value;
        self->borrow = 0;
    }
    return (PyObject*)self;
}

/* Index of the member named by text, or -1. Cleans into a stack buffer: a
 * cleaned text longer than every name cannot match, so no allocation. */
static int parse(const Vocabulary* vocab, const char* text, Py_ssize_t len) {
    char cleaned[MAX_NAME];
    Py_ssize_t n = 0;
    for (Py_ssize_t i = 0; i < len; i++) {
        char c = text[i];
        if (vocab->is_removed[(uint8_t)c]) {
            continue;
        }
        if (n == MAX_NAME) {
            return -1;
        }
        cleaned[n++] = c;
    }
    for (const int8_t* cand = vocab->by_len[n]; *cand != -1; cand++) {
        const char* name = vocab->folded[*cand];
        Py_ssize_t i = 0;
        while (i < n && fold(cleaned[i]) == name[i]) {
            i++;
        }
        if (i == n) {
            return *cand;
        }
    }
    return -1;
}

/* The one argument of a call that accepts a single positional-or-keyword
 * parameter; NULL with TypeError set otherwise. */
static PyObject* single_argument_tuple_dict(PyObject* args, PyObject* kwargs, PyObject* keyword) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs == NULL ? 0 : PyDict_GET_SIZE(kwargs);
    if (nargs == 1 && nkw == 0) {
        return PyTuple_GET_ITEM(args, 0);
    }
    if (nargs == 0 && nkw == 1) {
        PyObject* value = PyDict_GetItemWithError(kwargs, keyword);
        if (value != NULL) {
            return value;
        }
    }
    if (!PyErr_Occurred()) {
        raise_fixed(PyExc_TypeError, "expected exactly one argument", &ONE_ARGUMENT_STR);
    }
    return NULL;
}

static PyObject* KEYWORD_S;
static PyObject* KEYWORD_V;

static PyObject* vocab_new(const Vocabulary* vocab, PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* s = single_argument_tuple_dict(args, kwargs, KEYWORD_S);
    if (s == NULL) {
        return NULL;
    }
    if (!PyUnicode_Check(s)) {
        raise_fixed(PyExc_TypeError, "argument 's': expected str", &EXPECTED_STR_STR);
        return NULL;
    }
    Py_ssize_t len;
    const char* text = PyUnicode_AsUTF8AndSize(s, &len);
    if (text == NULL) {
        return NULL;
    }
    int index = parse(vocab, text, len);
    if (index < 0) {
        raise_fixed(PyExc_RuntimeError, "Matching variant not found", &NOT_FOUND_STR);
        return NULL;
    }
    return new_member(type, vocab->members[index].value);
}

static PyObject* vocab_from_int(Vocabulary* vocab, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg;
    if (nargs == 1 && kwnames == NULL) {
        arg = args[0];
    } else if (nargs == 0 && kwnames != NULL && PyTuple_GET_SIZE(kwnames) == 1 &&
               PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, 0), KEYWORD_V) == 0) {
        arg = args[0];
    } else {
        raise_fixed(PyExc_TypeError, "expected exactly one argument", &ONE_ARGUMENT_STR);
        return NULL;
    }
    /* PyLong_AsLong goes through __index__ for objects that are not ints. */
    long v = PyLong_AsLong(arg);
    if (v == -1 && PyErr_Occurred()) {
        return NULL;
    }
    if (v < 0 || v > 255) {
        raise_fixed(PyExc_OverflowError, "out of range integral type conversion attempted", &OUT_OF_RANGE_STR);
        return NULL;
    }
    int index = vocab->index_of[v];
    if (index < 0) {
        raise_fixed(PyExc_RuntimeError, vocab->from_int_miss, &vocab->from_int_miss_str);
        return NULL;
    }
    return new_member(vocab->type, (uint8_t)v);
}

static PyObject* vocab_list(const Vocabulary* vocab) {
    PyObject* list = PyList_New(vocab->count);
    if (list == NULL) {
        return NULL;
    }
    for (int i = 0; i < vocab->count; i++) {
        PyObject* member = new_member(vocab->type, vocab->members[i].value);
        if (member == NULL) {
            Py_DECREF(list);
            return NULL;
        }
        PyList_SET_ITEM(list, i, member);
    }
    return list;
}

/* A new str from an ASCII text, skipping the UTF-8 decoder. */
static PyObject* ascii_str(const char* text, Py_ssize_t len) {
    PyObject* str = PyUnicode_New(len, 127);
    if (str != NULL) {
        memcpy(PyUnicode_DATA(str), text, (size_t)len);
    }
    return str;
}

/* A member's name (to_string) or repr text; a constant `repr_form` folds the choice away. */
static PyObject* text_form(const Vocabulary* vocab, PyObject* self, int repr_form) {
    int index = vocab->index_of[((Member*)self)->value];
#ifdef FLOOR_SHARED_STRS
    PyObject* shared = repr_form ? vocab->reprs[index] : vocab->names[index];
    Py_INCREF(shared);
    return shared;
#else
    const MemberInfo* m = &vocab->members[index];
    return repr_form ? ascii_str(m->repr, m->repr_len) : ascii_str(m->name, m->name_len);
#endif
}

static PyObject* vocab_to_string(const Vocabulary* vocab, PyObject* self) {
    return text_form(vocab, self, 0);
}

static PyObject* vocab_repr(const Vocabulary* vocab, PyObject* self) {
    return text_form(vocab, self, 1);
}

static PyObject* member_int(PyObject* self) {
    return PyLong_FromLong(((Member*)self)->value);
}

/* An integer 0..255 from other, or -1 with no error pending. */
static long small_int(PyObject* other) {
    long v;
    if (PyLong_Check(other)) {
        v = PyLong_AsLong(other);
    } else if (PyIndex_Check(other)) {
        PyObject* index = PyNumber_Index(other);
        if (index == NULL) {
            PyErr_Clear();
            return -1;
        }
        v = PyLong_AsLong(index);
        Py_DECREF(index);
    } else {
        return -1;
    }
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return (v < 0 || v > 255) ? -1 : v;
}

static PyObject* member_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    long v = small_int(other);
    if (v < 0) {
        if (Py_TYPE(other) != Py_TYPE(self)) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        v = ((Member*)other)->value;
    }
    int equal = ((Member*)self)->value == v;
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

static void member_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

/* One set of entry points per vocabulary, each bound to its table. */
#define VOCABULARY_ENTRY_POINTS(prefix, VOCAB)                                                                    \
    static PyObject* prefix##_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {                         \
        return vocab_new(&VOCAB, type, args, kwargs);                                                             \
    }                                                                                                             \
    static PyObject* prefix##_from_int(PyObject* Py_UNUSED(cls), PyObject* const* args, Py_ssize_t nargs,         \
                                       PyObject* kwnames) {                                                       \
        return vocab_from_int(&VOCAB, args, nargs, kwnames);                                                      \
    }                                                                                                             \
    static PyObject* prefix##_list(PyObject* Py_UNUSED(cls), PyObject* Py_UNUSED(arg)) {                          \
        return vocab_list(&VOCAB);                                                                                \
    }                                                                                                             \
    static PyObject* prefix##_to_string(PyObject* self, PyObject* Py_UNUSED(arg)) {                               \
        return vocab_to_string(&VOCAB, self);                                                                     \
    }                                                                                                             \
    static PyObject* prefix##_repr(PyObject* self) {                                                              \
        return vocab_repr(&VOCAB, self);                                                                          \
    }                                                                                                             \
    static PyMethodDef prefix##_methods[] = {                                                                     \
        {"list", (PyCFunction)prefix##_list, METH_STATIC | METH_NOARGS, "list()\n--\n\n"},                        \
        {"to_string", (PyCFunction)prefix##_to_string, METH_NOARGS, "to_string($self)\n--\n\n"},                  \
        {"from_int", (PyCFunction)(void (*)(void))prefix##_from_int, METH_STATIC | METH_FASTCALL | METH_KEYWORDS, \
         "from_int(v)\n--\n\n"},                                                                                  \
        {NULL, NULL, 0, NULL},                                                                                    \
    };                                                                                                            \
    static PyType_Slot prefix##_slots[] = {                                                                       \
        {Py_tp_doc, NULL}, /* filled at init from the vocabulary */                                               \
        {Py_tp_base, NULL},                                                                                       \
        {Py_tp_dealloc, member_dealloc},                                                                          \
        {Py_tp_repr, prefix##_repr},                                                                              \
        {Py_nb_int, member_int},                                                                                  \
        {Py_tp_richcompare, member_richcompare},                                                                  \
        {Py_tp_new, prefix##_new},                                                                                \
        {Py_tp_methods, prefix##_methods},                                                                        \
        {0, NULL},                                                                                                \
    };

VOCABULARY_ENTRY_POINTS(stain, STAIN)
VOCABULARY_ENTRY_POINTS(diagnosis, DIAGNOSIS)
VOCABULARY_ENTRY_POINTS(tile_label, TILE_LABEL)

static int add_vocabulary(PyObject* module, Vocabulary* vocab, PyType_Slot* slots) {
    prepare(vocab);
    slots[0].pfunc = (void*)vocab->doc;
    slots[1].pfunc = &PyBaseObject_Type;
    PyType_Spec type_spec = {vocab->qualified_name, (int)sizeof(Member), 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == NULL) {
        return -1;
    }
    vocab->type = (PyTypeObject*)type; /* the module keeps it alive for the process */
    for (int i = 0; i < vocab->count; i++) {
#ifdef FLOOR_SHARED_STRS
        /* kept for the life of the process */
        vocab->names[i] = ascii_str(vocab->members[i].name, vocab->members[i].name_len);
        vocab->reprs[i] = ascii_str(vocab->members[i].repr, vocab->members[i].repr_len);
        if (vocab->names[i] == NULL || vocab->reprs[i] == NULL) {
            Py_DECREF(type);
            return -1;
        }
#endif
        PyObject* member = new_member(vocab->type, vocab->members[i].value);
        if (member == NULL || PyObject_SetAttrString(type, vocab->members[i].name, member) < 0) {
            Py_XDECREF(member);
            Py_DECREF(type);
            return -1;
        }
        Py_DECREF(member);
    }
    Py_INCREF(type); /* one reference for the vocabulary table, one for the module */
    if (PyModule_AddObject(module, vocab->class_name, type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, FLOOR_MODULE_NAME, "", 0, NULL, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC FLOOR_INIT(void) {
    KEYWORD_S = PyUnicode_InternFromString("s");
    KEYWORD_V = PyUnicode_InternFromString("v");
    if (KEYWORD_S == NULL || KEYWORD_V == NULL) {
        return NULL;
    }
    PyObject* module = PyModule_Create(&floor_module);
    if (module == NULL) {
        return NULL;
    }
    if (add_vocabulary(module, &DIAGNOSIS, diagnosis_slots) < 0 || add_vocabulary(module, &STAIN, stain_slots) < 0 ||
        add_vocabulary(module, &TILE_LABEL, tile_label_slots) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
