// Prints a table of a Jet database as the independent reader mdb-reader sees
// it, as JSON: {"password": ..., "tables": [...], "rows": [{field: value}]}.
// A NULL field prints as null.
//
//   node mdb_reader_dump.mjs NODE_MODULES_DIR FILE TABLE
import { readFileSync } from "node:fs";
import { createRequire } from "node:module";
import { pathToFileURL } from "node:url";

const [modules, file, table] = process.argv.slice(2);
const entry = createRequire(modules + "/").resolve("mdb-reader");
const { default: MDBReader } = await import(pathToFileURL(entry).href);

const reader = new MDBReader(readFileSync(file));
const rows = reader.getTable(table).getData();
process.stdout.write(
    JSON.stringify({ password: reader.getPassword(), tables: reader.getTableNames(), rows }) + "\n",
);
