// Key containers in a home's database. Each call is one transaction, so a
// container reported as created (or a key reported as stored) is on disk
// when the call returns, whatever happens to the process afterwards. A new
// container stays "pending" with its maker's process id until the context
// that created it is released, after the request's last key; one whose
// maker died pending is removed with its keys at the next open.
#include <unistd.h>

#include "platform/soft/crypto/SoftCrypto.h"

namespace {

DWORD Done(int rc) { return rc == SQLITE_DONE ? ERROR_SUCCESS : SoftSqlError(rc); }

DWORD Run(sqlite3* db, const char* sql, const SoftProv& prov) {
  SoftStmt s(db, sql);
  return Done(s.Bind(1, prov.provider->family).Bind(2, prov.container).Step());
}

bool Exists(sqlite3* db, const SoftProv& prov) {
  if (db == nullptr) return false;
  SoftStmt s(db, "SELECT 1 FROM containers WHERE family=?1 AND name=?2");
  return s.Bind(1, prov.provider->family).Bind(2, prov.container).Step() == SQLITE_ROW;
}

}  // namespace

DWORD SoftContainerCreate(const SoftProv& prov) {
  return SoftWrite(prov.scope, [&](sqlite3* db) -> DWORD {
    if (Exists(db, prov)) return static_cast<DWORD>(NTE_EXISTS);
    if (DWORD e = Run(db, "INSERT INTO containers(family, name) VALUES(?1, ?2)", prov)) return e;
    SoftStmt s(db, "INSERT OR REPLACE INTO containers_pending VALUES(?1, ?2, ?3)");
    s.Bind(1, prov.provider->family).Bind(2, prov.container).Bind(3, int64_t{getpid()});
    return Done(s.Step());
  });
}

DWORD SoftContainerCheck(const SoftProv& prov) {
  return SoftRead(prov.scope, [&](sqlite3* db) -> DWORD {
    return Exists(db, prov) ? ERROR_SUCCESS : static_cast<DWORD>(NTE_BAD_KEYSET);
  });
}

DWORD SoftContainerDelete(const SoftProv& prov) {
  return SoftWrite(prov.scope, [&](sqlite3* db) -> DWORD {
    if (!Exists(db, prov)) return static_cast<DWORD>(NTE_BAD_KEYSET);
    for (const char* sql : {"DELETE FROM container_keys WHERE family=?1 AND container=?2",
                            "DELETE FROM containers_pending WHERE family=?1 AND name=?2",
                            "DELETE FROM containers WHERE family=?1 AND name=?2"})
      if (DWORD e = Run(db, sql, prov)) return e;
    return ERROR_SUCCESS;
  }, true);
}

DWORD SoftContainerList(const SoftProv& prov, std::vector<std::string>* names) {
  names->clear();
  return SoftRead(prov.scope, [&](sqlite3* db) -> DWORD {
    if (db == nullptr) return ERROR_SUCCESS;
    SoftStmt s(db, "SELECT name FROM containers WHERE family=?1 ORDER BY name");
    s.Bind(1, prov.provider->family);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) names->push_back(s.Text(0));
    return Done(rc);
  });
}

DWORD SoftContainerPutKey(SoftProv& prov, DWORD spec, const SoftStoredKey& key) {
  if (prov.ephemeral) {
    prov.memoryKeys[spec] = key;
    return ERROR_SUCCESS;
  }
  return SoftWrite(prov.scope, [&](sqlite3* db) -> DWORD {
    if (!Exists(db, prov)) return static_cast<DWORD>(NTE_BAD_KEYSET);
    {
      // Only a key it replaces needs the WAL emptied: a new key's bytes
      // have no older copy to remove.
      SoftStmt old(db, "SELECT 1 FROM container_keys WHERE family=?1 AND container=?2 AND spec=?3");
      if (old.Bind(1, prov.provider->family).Bind(2, prov.container).Bind(3, int64_t{spec})
              .Step() == SQLITE_ROW)
        SoftEraseOnCommit();
    }
    SoftStmt s(db,
               "INSERT OR REPLACE INTO container_keys(family, container, spec, algid, exportable,"
               " der, certificate) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    s.Bind(1, prov.provider->family).Bind(2, prov.container).Bind(3, int64_t{spec});
    s.Bind(4, int64_t{key.algid}).Bind(5, int64_t{key.exportable});
    s.BindBlob(6, key.material.data(), key.material.size());
    if (!key.certificate.empty()) s.BindBlob(7, key.certificate.data(), key.certificate.size());
    return Done(s.Step());
  });
}

DWORD SoftContainerSettle(const SoftProv& prov) {
  if (prov.ephemeral) return ERROR_SUCCESS;
  return SoftWrite(prov.scope, [&](sqlite3* db) -> DWORD {
    SoftStmt s(db, "DELETE FROM containers_pending WHERE family=?1 AND name=?2 AND pid=?3");
    return Done(s.Bind(1, prov.provider->family).Bind(2, prov.container)
                    .Bind(3, int64_t{getpid()}).Step());
  });
}

DWORD SoftContainerGetKey(SoftProv& prov, DWORD spec, SoftStoredKey* key) {
  if (prov.ephemeral) {
    auto it = prov.memoryKeys.find(spec);
    if (it == prov.memoryKeys.end()) return static_cast<DWORD>(NTE_NO_KEY);
    *key = it->second;
    return ERROR_SUCCESS;
  }
  return SoftRead(prov.scope, [&](sqlite3* db) -> DWORD {
    if (!Exists(db, prov)) return static_cast<DWORD>(NTE_BAD_KEYSET);
    SoftStmt s(db,
               "SELECT algid, exportable, der, certificate FROM container_keys"
               " WHERE family=?1 AND container=?2 AND spec=?3");
    const int rc =
        s.Bind(1, prov.provider->family).Bind(2, prov.container).Bind(3, int64_t{spec}).Step();
    if (rc == SQLITE_DONE) return static_cast<DWORD>(NTE_NO_KEY);
    if (rc != SQLITE_ROW) return SoftSqlError(rc);
    key->algid = static_cast<ALG_ID>(s.Int(0));
    key->exportable = s.Int(1) != 0;
    std::vector<BYTE> der = s.Blob(2);
    key->material.assign(der.begin(), der.end());
    OPENSSL_cleanse(der.data(), der.size());
    key->certificate = s.Blob(3);
    return ERROR_SUCCESS;
  });
}

DWORD SoftContainerCachedKey(SoftProv& prov, DWORD spec, SoftCachedPair* key) {
  std::lock_guard<std::mutex> hold(prov.pairs.lock);
  return SoftRead(prov.scope, [&](sqlite3* db) -> DWORD {
    // The existence check is also the read that refreshes the stamp.
    if (!Exists(db, prov)) return static_cast<DWORD>(NTE_BAD_KEYSET);
    const uint64_t stamp = SoftContentStamp(db);
    SoftCachedPair& cached = prov.pairs.bySpec[spec];
    if (!cached.pkey || cached.stamp != stamp) {
      cached = SoftCachedPair();
      SoftStmt s(db,
                 "SELECT algid, exportable, der FROM container_keys"
                 " WHERE family=?1 AND container=?2 AND spec=?3");
      const int rc =
          s.Bind(1, prov.provider->family).Bind(2, prov.container).Bind(3, int64_t{spec}).Step();
      if (rc == SQLITE_DONE) return static_cast<DWORD>(NTE_NO_KEY);
      if (rc != SQLITE_ROW) return SoftSqlError(rc);
      SoftStoredKey stored;
      stored.algid = static_cast<ALG_ID>(s.Int(0));
      std::vector<BYTE> der = s.Blob(2);
      stored.material.assign(der.begin(), der.end());
      OPENSSL_cleanse(der.data(), der.size());
      EvpPkey pkey;
      if (DWORD e = SoftKeyFromMaterial(SoftKindOfAlg(stored.algid), stored.material, &pkey))
        return e;
      cached.stamp = stamp;
      cached.algid = stored.algid;
      cached.exportable = s.Int(1) != 0;
      cached.pkey = std::move(pkey);
    }
    if (EVP_PKEY_up_ref(cached.pkey.get()) != 1) return static_cast<DWORD>(NTE_NO_MEMORY);
    key->stamp = cached.stamp;
    key->algid = cached.algid;
    key->exportable = cached.exportable;
    key->pkey.reset(cached.pkey.get());
    return ERROR_SUCCESS;
  });
}

DWORD SoftContainerSetCertificate(SoftProv& prov, DWORD spec, const BYTE* der, size_t size) {
  if (prov.ephemeral) {
    auto it = prov.memoryKeys.find(spec);
    if (it == prov.memoryKeys.end()) return static_cast<DWORD>(NTE_NO_KEY);
    it->second.certificate.assign(der, der + size);
    return ERROR_SUCCESS;
  }
  return SoftWrite(prov.scope, [&](sqlite3* db) -> DWORD {
    SoftStmt s(db,
               "UPDATE container_keys SET certificate=?4 WHERE family=?1 AND container=?2"
               " AND spec=?3");
    s.Bind(1, prov.provider->family).Bind(2, prov.container).Bind(3, int64_t{spec});
    if (DWORD e = Done(s.BindBlob(4, der, size).Step())) return e;
    return sqlite3_changes(db) == 0 ? static_cast<DWORD>(NTE_NO_KEY) : ERROR_SUCCESS;
  });
}
