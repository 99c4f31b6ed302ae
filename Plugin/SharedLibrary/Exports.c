/* The shared library's code is all in QuelbyCloudCore; this unit only gives the
 * target a source of its own. The four entry points are exported by Exports.map. */
typedef int QuelbyCloudSharedLibraryUnit;
