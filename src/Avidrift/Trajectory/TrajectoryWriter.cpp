#include "Avidrift/Trajectory/TrajectoryWriter.h"

#include <fcntl.h>
#include <hdf5.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include <nlohmann/json.hpp>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/WorldFile.h"

namespace Avidrift {

namespace {

// A frame's chunk holds at most this many boids (a megabyte of positions): a reader fetching one
// frame of a huge flock reads a few chunks, and a small flock's frame is one chunk.
constexpr hsize_t kBoidsPerChunk = 87381;
// Steps, times and measures grow by one number a frame; a chunk of them is rewritten in place
// (they are not compressed, so its size never changes and it never moves).
constexpr hsize_t kFramesPerChunk = 1024;
// Level 1 with the shuffle filter: most of what deflate can take from floats, at a cost well
// below a step's.
constexpr unsigned kDeflateLevel = 1;

// Silences HDF5's printing of its error stack while this object lives (on this thread, as the
// thread-safe library keeps it): the caller reports the failure itself, once.
class QuietErrors {
public:
    QuietErrors() {
        H5Eget_auto2(H5E_DEFAULT, &m_function, &m_data);
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    }
    ~QuietErrors() { H5Eset_auto2(H5E_DEFAULT, m_function, m_data); }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;

private:
    H5E_auto2_t m_function = nullptr;
    void* m_data = nullptr;
};

// An HDF5 identifier closed with its own close function.
class Id {
public:
    Id() = default;
    Id(hid_t id, herr_t (*close)(hid_t)) : m_id(id), m_close(close) {}
    Id(Id&& other) noexcept
        : m_id(std::exchange(other.m_id, H5I_INVALID_HID)), m_close(other.m_close) {}
    Id& operator=(Id&& other) noexcept {
        std::swap(m_id, other.m_id);
        std::swap(m_close, other.m_close);
        return *this;
    }
    ~Id() { Reset(); }
    // The close's result: closing a file writes what it buffered.
    herr_t Reset() {
        herr_t result = 0;
        if (m_id >= 0) {
            result = m_close(m_id);
        }
        m_id = H5I_INVALID_HID;
        return result;
    }
    hid_t get() const { return m_id; }
    bool valid() const { return m_id >= 0; }

private:
    hid_t m_id = H5I_INVALID_HID;
    herr_t (*m_close)(hid_t) = nullptr;
};

std::string LoginName() {
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_name != nullptr) {
        return entry->pw_name;
    }
    return "unknown";
}

// The innermost message of HDF5's error stack: what went wrong where it was found.
std::string InnermostError() {
    std::string message;
    H5Ewalk2(
        H5E_DEFAULT, H5E_WALK_DOWNWARD,
        [](unsigned n, const H5E_error2_t* error, void* data) -> herr_t {
            if (n == 0 && error->desc != nullptr) {
                *static_cast<std::string*>(data) = error->desc;
            }
            return 0;
        },
        &message);
    return message.empty() ? "HDF5 error" : message;
}

}  // namespace

struct TrajectoryWriter::Handles {
    Id file;
    Id position;
    Id velocity;
    Id pathParameter;
    Id step;
    Id time;
    std::vector<Id> observables;
};

namespace {

// Throws through fail unless id is a valid identifier.
template <typename Fail>
Id Checked(hid_t id, herr_t (*close)(hid_t), Fail&& fail) {
    if (id < 0) {
        fail();
    }
    return Id(id, close);
}

}  // namespace

void TrajectoryWriter::Fail() const {
    // errno names the system's reason (no such directory, no space left) when a system call
    // failed; otherwise HDF5's own message is the reason.
    const int error = errno;
    const std::string reason = error != 0 ? std::strerror(error) : InnermostError();
    throw TrajectoryError("cannot write '" + m_path + "': " + reason);
}

TrajectoryWriter::TrajectoryWriter(const std::string& path, const FlockData& flock,
                                   const TrajectoryCreator& creator,
                                   std::vector<std::string> observables)
    : m_path(path), m_boids(flock.boidCount), m_handles(std::make_unique<Handles>()) {
    const QuietErrors quiet;
    Handles& h = *m_handles;
    const auto fail = [this] { Fail(); };
    const auto check = [&](herr_t result) {
        if (result < 0) {
            fail();
        }
    };
    // The metadata cache writes an entry out whenever it makes room, so a kill between two
    // frames could leave a B-tree on disk that points past the end the superblock records:
    // a file no reader opens. Without evictions the metadata reaches the disk only when a frame
    // is flushed, all of it together.
    const Id access = Checked(H5Pcreate(H5P_FILE_ACCESS), H5Pclose, fail);
    H5AC_cache_config_t cache{};
    cache.version = H5AC__CURR_CACHE_CONFIG_VERSION;
    check(H5Pget_mdc_config(access.get(), &cache));
    cache.evictions_enabled = false;
    cache.incr_mode = H5C_incr__off;
    cache.flash_incr_mode = H5C_flash_incr__off;
    cache.decr_mode = H5C_decr__off;
    check(H5Pset_mdc_config(access.get(), &cache));
    errno = 0;
    h.file =
        Checked(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access.get()), H5Fclose, fail);
    const hid_t file = h.file.get();

    const auto group = [&](hid_t parent, const char* name) {
        return Checked(H5Gcreate2(parent, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose,
                       fail);
    };
    const auto attribute = [&](hid_t object, const char* name, hid_t type, const hsize_t* dims,
                               int rank, const void* value) {
        const Id space =
            Checked(rank == 0 ? H5Screate(H5S_SCALAR) : H5Screate_simple(rank, dims, nullptr),
                    H5Sclose, fail);
        const Id made = Checked(
            H5Acreate2(object, name, type, space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose, fail);
        check(H5Awrite(made.get(), type, value));
    };
    // Variable-length UTF-8 strings: h5py reads them back as str.
    const Id text = Checked(H5Tcopy(H5T_C_S1), H5Tclose, fail);
    check(H5Tset_size(text.get(), H5T_VARIABLE));
    check(H5Tset_cset(text.get(), H5T_CSET_UTF8));
    const auto textAttribute = [&](hid_t object, const char* name, const std::string& value) {
        const char* data = value.c_str();
        attribute(object, name, text.get(), nullptr, 0, &data);
    };

    {
        const Id h5md = group(file, "h5md");
        const std::array<int, 2> version{1, 1};
        const hsize_t two = 2;
        attribute(h5md.get(), "version", H5T_NATIVE_INT, &two, 1, version.data());
        const Id author = group(h5md.get(), "author");
        textAttribute(author.get(), "name", creator.author.empty() ? LoginName() : creator.author);
        const Id program = group(h5md.get(), "creator");
        textAttribute(program.get(), "name", creator.name);
        textAttribute(program.get(), "version", creator.version);
    }

    const Id particles = group(file, "particles");
    const Id boids = group(particles.get(), "flock");
    {
        const Id box = group(boids.get(), "box");
        const int dimension = 3;
        attribute(box.get(), "dimension", H5T_NATIVE_INT, nullptr, 0, &dimension);
        const std::array<const char*, 3> boundary{"none", "none", "none"};
        const hsize_t three = 3;
        attribute(box.get(), "boundary", text.get(), &three, 1, boundary.data());
    }

    // One extendible dataset, frames first.
    const auto series = [&](hid_t parent, const char* name, hid_t type, std::vector<hsize_t> frame,
                            bool compress) {
        std::vector<hsize_t> dims{0};
        std::vector<hsize_t> maxDims{H5S_UNLIMITED};
        std::vector<hsize_t> chunk{compress ? 1 : kFramesPerChunk};
        for (std::size_t i = 0; i < frame.size(); ++i) {
            dims.push_back(frame[i]);
            maxDims.push_back(frame[i]);
            chunk.push_back(
                std::max<hsize_t>(1, i == 0 ? std::min(frame[i], kBoidsPerChunk) : frame[i]));
        }
        const int rank = static_cast<int>(dims.size());
        const Id space =
            Checked(H5Screate_simple(rank, dims.data(), maxDims.data()), H5Sclose, fail);
        const Id properties = Checked(H5Pcreate(H5P_DATASET_CREATE), H5Pclose, fail);
        check(H5Pset_chunk(properties.get(), rank, chunk.data()));
        if (compress) {
            check(H5Pset_shuffle(properties.get()));
            check(H5Pset_deflate(properties.get(), kDeflateLevel));
        }
        return Checked(
            H5Dcreate2(parent, name, type, space.get(), H5P_DEFAULT, properties.get(), H5P_DEFAULT),
            H5Dclose, fail);
    };
    // A time-dependent element: its value, and step and time made once and shared by every
    // other element through hard links, so one extension claims a frame for all of them.
    const hsize_t n = flock.boidCount;
    const auto element = [&](hid_t parent, const char* name, hid_t type, std::vector<hsize_t> frame,
                             bool compress) {
        const Id made = group(parent, name);
        if (!h.step.valid()) {
            h.step = series(made.get(), "step", H5T_STD_I64LE, {}, false);
            h.time = series(made.get(), "time", H5T_IEEE_F64LE, {}, false);
            textAttribute(h.time.get(), "unit", "s");
        } else {
            check(H5Olink(h.step.get(), made.get(), "step", H5P_DEFAULT, H5P_DEFAULT));
            check(H5Olink(h.time.get(), made.get(), "time", H5P_DEFAULT, H5P_DEFAULT));
        }
        return series(made.get(), "value", type, std::move(frame), compress);
    };
    h.position = element(boids.get(), "position", H5T_IEEE_F32LE, {n, 3}, true);
    h.velocity = element(boids.get(), "velocity", H5T_IEEE_F32LE, {n, 3}, true);
    h.pathParameter = element(boids.get(), "path_parameter", H5T_IEEE_F32LE, {n}, true);
    if (!observables.empty()) {
        const Id measures = group(file, "observables");
        for (const std::string& name : observables) {
            h.observables.push_back(
                element(measures.get(), name.c_str(), H5T_IEEE_F64LE, {}, false));
        }
    }

    {
        const Id parameters = group(file, "parameters");
        const std::uint32_t count = flock.boidCount;
        attribute(parameters.get(), "boids", H5T_NATIVE_UINT32, nullptr, 0, &count);
        const std::string world = WorldToJson(WorldOf(flock));
        textAttribute(parameters.get(), "world", world);
        // Each parameter on its own as well, by the names --set takes.
        const nlohmann::json fields = nlohmann::json::parse(world).at("parameters");
        for (const auto& field : fields.items()) {
            const auto number = field.value().get<float>();
            attribute(parameters.get(), field.key().c_str(), H5T_NATIVE_FLOAT, nullptr, 0, &number);
        }
    }
    check(H5Fflush(file, H5F_SCOPE_GLOBAL));
}

TrajectoryWriter::~TrajectoryWriter() {
    const QuietErrors quiet;
    m_handles.reset();
}

void TrajectoryWriter::WriteFrame(std::int64_t step, double time, const FlockData& flock,
                                  std::span<const double> observables) {
    if (m_handles == nullptr) {
        throw TrajectoryError("cannot write '" + m_path + "': the file is closed");
    }
    if (flock.boidCount != m_boids || observables.size() != m_handles->observables.size()) {
        throw TrajectoryError("cannot write '" + m_path + "': the frame does not fit the file");
    }
    const QuietErrors quiet;
    errno = 0;
    const auto check = [this](herr_t result) {
        if (result < 0) {
            Fail();
        }
    };
    Reserve(observables.size());
    const hsize_t k = m_frames;
    // Row k of an extendible dataset whose frames have the shape frame.
    const auto append = [&](const Id& dataset, std::vector<hsize_t> frame, hid_t memoryType,
                            const void* data) {
        std::vector<hsize_t> dims{k + 1};
        dims.insert(dims.end(), frame.begin(), frame.end());
        check(H5Dset_extent(dataset.get(), dims.data()));
        const int rank = static_cast<int>(dims.size());
        const Id space = Checked(H5Dget_space(dataset.get()), H5Sclose, [this] { Fail(); });
        std::vector<hsize_t> start(dims.size(), 0);
        start[0] = k;
        std::vector<hsize_t> count = dims;
        count[0] = 1;
        check(H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start.data(), nullptr, count.data(),
                                  nullptr));
        const Id memory =
            Checked(H5Screate_simple(rank, count.data(), nullptr), H5Sclose, [this] { Fail(); });
        check(H5Dwrite(dataset.get(), memoryType, memory.get(), space.get(), H5P_DEFAULT, data));
    };
    const hsize_t n = m_boids;
    Handles& h = *m_handles;
    if (n > 0) {
        append(h.position, {n, 3}, H5T_NATIVE_FLOAT, flock.positions.get());
        append(h.velocity, {n, 3}, H5T_NATIVE_FLOAT, flock.velocities.get());
        append(h.pathParameter, {n}, H5T_NATIVE_FLOAT, flock.pathParameters.get());
    } else {
        // Nothing to write, but the frame must still exist in every element.
        for (const Id* dataset : {&h.position, &h.velocity}) {
            const std::array<hsize_t, 3> dims{k + 1, 0, 3};
            check(H5Dset_extent(dataset->get(), dims.data()));
        }
        const std::array<hsize_t, 2> dims{k + 1, 0};
        check(H5Dset_extent(h.pathParameter.get(), dims.data()));
    }
    for (std::size_t i = 0; i < observables.size(); ++i) {
        append(h.observables[i], {}, H5T_NATIVE_DOUBLE, &observables[i]);
    }
    // Last, the step and time that every element shares: until they are extended no reader
    // counts the frame. (Flushing the values first would leave a killed file with more values
    // than steps, which H5MD readers refuse.)
    append(h.step, {}, H5T_NATIVE_INT64, &step);
    append(h.time, {}, H5T_NATIVE_DOUBLE, &time);
    check(H5Fflush(h.file.get(), H5F_SCOPE_GLOBAL));
    ++m_frames;
}

void TrajectoryWriter::Reserve(std::size_t observables) {
    // HDF5 writes a frame's chunks, then rewrites the superblock with the file's new end; when
    // the disk fills in between, the superblock claims more than the file holds and no reader
    // opens it again (and the library, left with a file it cannot close, fails at exit). So the
    // frame's room is taken first: a frame that does not fit fails here with the disk's reason
    // and the file stays as the last frame left it. HDF5 trims the file to its end again when
    // it flushes.
    void* handle = nullptr;
    hsize_t size = 0;
    if (H5Fget_vfd_handle(m_handles->file.get(), H5P_DEFAULT, &handle) < 0 || handle == nullptr ||
        H5Fget_filesize(m_handles->file.get(), &size) < 0) {
        Fail();
    }
    // The frame uncompressed, deflate's worst case, and room for the metadata it changes.
    const std::uint64_t values = std::uint64_t{m_boids} * 7 * sizeof(float) + 8 * observables + 16;
    const std::uint64_t room = values + values / 64 + (std::uint64_t{1} << 16);
    const int error =
        posix_fallocate(*static_cast<int*>(handle), 0, static_cast<off_t>(size + room));
    // A file system that cannot reserve space leaves the frame to HDF5's own checks.
    if (error != 0 && error != EOPNOTSUPP && error != ENODEV && error != ESPIPE) {
        errno = error;
        Fail();
    }
}

void TrajectoryWriter::Close() {
    if (m_handles == nullptr) {
        return;
    }
    const QuietErrors quiet;
    errno = 0;
    Handles& h = *m_handles;
    h.observables.clear();
    bool closed = h.position.Reset() >= 0;
    closed = h.velocity.Reset() >= 0 && closed;
    closed = h.pathParameter.Reset() >= 0 && closed;
    closed = h.step.Reset() >= 0 && closed;
    closed = h.time.Reset() >= 0 && closed;
    closed = h.file.Reset() >= 0 && closed;
    m_handles.reset();
    if (!closed) {
        Fail();
    }
}

}  // namespace Avidrift
