// What the declarations of a package's entry export, by the TypeScript
// compiler's own resolution (nodenext: the "import" or the "require"
// condition), and what the module gives at run time under the same name.
import { writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import ts from 'typescript';

// For each entry file (importing `specifier` from an ES module or requiring
// it from CommonJS): the [name, kind] of every value it declares; types are
// left out. One program for all, as the compiler's start is slow.
function declared(entries, typeRoots) {
    const program = ts.createProgram(entries.map((e) => e.file), {
        module: ts.ModuleKind.NodeNext, moduleResolution: ts.ModuleResolutionKind.NodeNext, strict: true,
        noEmit: true, types: ['node'], typeRoots,
    });
    const errors = ts.getPreEmitDiagnostics(program).map((d) => ts.flattenDiagnosticMessageText(d.messageText, '\n'));
    if (errors.length) throw new Error(errors.join('; '));
    const checker = program.getTypeChecker();
    return entries.map(({ file, esm }) => {
        const statement = program.getSourceFile(file).statements[0];
        const where = esm ? statement.moduleSpecifier : statement.moduleReference.expression;
        return checker.getExportsOfModule(checker.getSymbolAtLocation(where)).flatMap((symbol) => {
            const target = symbol.flags & ts.SymbolFlags.Alias ? checker.getAliasedSymbol(symbol) : symbol;
            if (target.flags & ts.SymbolFlags.Class) return [[symbol.name, 'class']];
            if (target.flags & ts.SymbolFlags.Function) return [[symbol.name, 'function']];
            if (!(target.flags & (ts.SymbolFlags.Variable | ts.SymbolFlags.ValueModule))) return [];
            const type = checker.getTypeOfSymbol(target);
            if (type.getCallSignatures().length) return [[symbol.name, 'function']];
            return [[symbol.name, type.flags & ts.TypeFlags.NumberLike ? 'number' : 'object']];
        });
    });
}

function kind(value) {
    if (typeof value === 'function')
        return /^class\b/.test(Function.prototype.toString.call(value)) ? 'class' : 'function';
    return value === null ? 'null' : typeof value;
}

// For each specifier and both module systems: { declared, mismatches }, the
// declared [name, kind] pairs and those the module does not give as declared.
export async function checkExports(project, specifiers, typeRoots) {
    const entries = specifiers.flatMap((specifier, i) => [true, false].map((esm) => {
        const file = path.join(project, `declared-${i}.${esm ? 'mts' : 'cts'}`);
        writeFileSync(file, esm ? `import * as m from '${specifier}';\nexport { m };\n`
                                : `import m = require('${specifier}');\nexport { m };\n`);
        return { specifier, esm, file };
    }));
    const names = declared(entries, typeRoots);
    const results = {};
    for (const [i, { specifier, esm }] of entries.entries()) {
        let loaded;
        if (esm) {
            const loader = path.join(project, `declared-load-${i}.mjs`);
            writeFileSync(loader, `export * as m from '${specifier}';\n`);
            loaded = (await import(pathToFileURL(loader))).m;
        } else {
            loaded = createRequire(path.join(project, 'declared-load.cjs'))(specifier);
        }
        results[`${specifier} (${esm ? 'import' : 'require'})`] = {
            declared: names[i],
            mismatches: names[i].filter(([name, want]) => kind(loaded[name]) !== want)
                .map(([name, want]) => `${name}: declared ${want}, is ${kind(loaded[name])}`),
        };
    }
    return results;
}
